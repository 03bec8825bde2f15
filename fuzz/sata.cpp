// IDENTIFY data and disk failures through the SATA disk test.
//
// Each disk's serial number, firmware revision and model hold bytes of the
// fuzz input, any values at all; the disks present, their capacity and
// their failures come from the input too. satatest runs once.
//
// Checks: the run ends normally, every disk node satatest opened is closed
// again, and sataResult counts exactly the disks whose
// IDENTIFY DEVICE answered.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using fuzz::json;
    fuzz::Input in(data, size);
    uint8_t control = in.byte();
    json storage = fuzz::small_storage();
    for (char letter = 'a'; letter <= 'i' && in.left() > 0; ++letter) {
        uint8_t c = in.byte();
        uint64_t bytes = 0;
        for (int k = 0; k < 8; ++k)
            bytes |= static_cast<uint64_t>(in.byte()) << (8 * k);
        std::string text;
        for (int k = 0; k < 68; ++k)
            text += static_cast<char>(in.byte());
        json drive = {{"name", std::string("sd") + letter}, {"bytes", bytes & INT64_MAX}};
        drive["serial"] = text.substr(0, 20);
        drive["firmware"] = text.substr(20, 8);
        drive["model"] = text.substr(28);
        drive["rejects_identify"] = (c & 2) != 0;
        drive["getsize64_fails"] = (c & 4) != 0;
        drive["size_fails"] = (c & 8) != 0;
        if (c & 1)
            storage["drives"].push_back(drive);
    }
    json doc = {{"console", {{"operator", "absent"}}},
                {"panel", {{"silent", true}}},
                {"disks", storage},
                {"system",
                 {{"time_limit", 60},
                  {"spin_limit", 20000},
                  {"kernel_release", (control & 8) ? "2.4.10" : "2.6.37"}}}};
    int before = 0, after = 0, counted = -1;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &k) {
        static const uint8_t kPorts[8] = {0, 2, 4, 5, 6, 7, 8, 9};
        sata_port_num = kPorts[control & 7];
        before = k.open_descriptors(1);
        satatest();
        after = k.open_descriptors(1);
        counted = sataResult;
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());
    FUZZ_CHECK(b, after == before, "%d descriptors open before, %d after", before, after);
    int answered = 0;
    for (const auto &e : b->events("disk", "identify"))
        answered += e.data["result"] == 0 ? 1 : 0;
    FUZZ_CHECK(b, counted == answered, "sataResult %d, %d disks answered", counted, answered);
    return 0;
}
