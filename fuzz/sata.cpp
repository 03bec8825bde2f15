// IDENTIFY data through the SATA disk report.
//
// Each disk's IDENTIFY text words (serial number, firmware revision,
// model: words 10-19, 23-26 and 27-46, the ones the report reads) hold
// bytes of the fuzz input, any values at all; the disks present, their
// capacity and their failures come from the input too. satatest runs once.
//
// Checks: the run ends normally and the console holds exactly the report
// that the disks call for: an "open ... failed" line for every missing
// name, each answering disk's three fields byte for byte in reading order
// with their padding, its capacity in GB, and sataResult counting the
// disks that answered.
//
// Input: byte 0 picks sata_port_num from the board's table (bits 0-2) and
// an old kernel (bit 3: 2.4.10, which knows no 64-bit size request); then
// per disk sda, sdb, ...: a control byte (bit 0 present, bit 1 rejects
// IDENTIFY, bit 2 the 64-bit size request fails, bit 3 both size requests
// fail), eight capacity bytes and the 68 text bytes.
#include "fuzzsupport.h"

#include "board/boardinfo.h"
#include "driver/result.h"
#include "storage/storage.h"

#include <cstdio>

namespace {

using fuzz::json;

constexpr int kSerial = 20, kFirmware = 8, kModel = 40;

struct Disk {
    bool present = false, rejects = false, size64_fails = false, size_fails = false;
    uint64_t bytes = 0;
    std::string serial, firmware, model;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t control = in.byte();
    static const uint8_t kPorts[8] = {0, 2, 4, 5, 6, 7, 8, 9};
    uint8_t ports = kPorts[control & 7];
    bool old_kernel = (control & 8) != 0;
    int names = ports == 9 ? 9 : ports + 1;

    std::vector<Disk> disks(static_cast<size_t>(names));
    json drives = json::array();
    for (int i = 0; i < names && in.left() > 0; ++i) {
        Disk &d = disks[static_cast<size_t>(i)];
        uint8_t c = in.byte();
        d.present = c & 1;
        d.rejects = c & 2;
        d.size64_fails = c & 4;
        d.size_fails = c & 8;
        for (int k = 0; k < 8; ++k)
            d.bytes |= static_cast<uint64_t>(in.byte()) << (8 * k);
        d.bytes &= INT64_MAX; // as far as the model's field reaches
        for (int k = 0; k < kSerial; ++k)
            d.serial += static_cast<char>(in.byte());
        for (int k = 0; k < kFirmware; ++k)
            d.firmware += static_cast<char>(in.byte());
        for (int k = 0; k < kModel; ++k)
            d.model += static_cast<char>(in.byte());
        if (!d.present)
            continue;
        drives.push_back({{"name", std::string("sd") + static_cast<char>('a' + i)},
                          {"serial", d.serial},
                          {"firmware", d.firmware},
                          {"model", d.model},
                          {"bytes", d.bytes},
                          {"chip", 0},
                          {"rejects_identify", d.rejects},
                          {"size_fails", d.size_fails},
                          {"getsize64_fails", d.size64_fails}});
    }

    json storage = fuzz::small_storage();
    storage["drives"] = drives;
    json doc = {
        {"console", {{"operator", "absent"}}},
        {"panel", {{"silent", true}}},
        {"disks", storage},
        {"system",
         {{"time_limit", 60},
          {"spin_limit", 20000},
          {"kernel_release", old_kernel ? "2.4.10" : "2.6.37"}}},
    };
    int rc = -1;
    int32_t counted = -1;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &) {
        sata_port_num = ports;
        rc = satatest();
        counted = sataResult;
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());
    FUZZ_CHECK(b, rc == 0, "satatest returned %d", rc);

    std::string expected;
    int answered = 0;
    for (int i = 0; i < names; ++i) {
        const Disk &d = disks[static_cast<size_t>(i)];
        std::string name = std::string("/dev/sd") + static_cast<char>('a' + i);
        if (!d.present) {
            expected += "open " + name + " failed\n";
            continue;
        }
        if (d.rejects) {
            expected += "send IDENTIFY DEVICE command, return -1\n";
            continue;
        }
        expected += name + "\n序列号    :" + d.serial + "\n型号      :" + d.model +
                    "\n固件版本  :" + d.firmware + "\n";
        uint64_t bytes = d.bytes;
        if (d.size_fails) {
            expected += "Can not get " + name + " size \n";
            bytes = ~uint64_t{0};
        } else if (old_kernel || d.size64_fails) {
            bytes = bytes / 512 * 512;
        }
        char line[64];
        std::snprintf(line, sizeof line, "硬盘容量  :%lldGB\n",
                      static_cast<long long>(bytes >> 30));
        expected += line;
        ++answered;
    }
    FUZZ_CHECK(b, b->out() == expected, "report differs from what the disks hold");
    FUZZ_CHECK(b, counted == answered, "sataResult %d, %d disks answered", counted, answered);
    return 0;
}
