#include "simulated.h"

#include "record/parser.h"

#include "simrun.h"
#include "sim/harness/harness.h"
#include "src/platform/sys.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace qa::record {

namespace {

unsigned word(const uint8_t *b, size_t off) {
    return b[off] | (b[off + 1] << 8);
}
unsigned bits(unsigned w, int hi, int lo) {
    return (w >> lo) & ((1u << (hi - lo + 1)) - 1);
}

// The board information report's texts, by code.
const char *pick(unsigned code, std::initializer_list<const char *> texts) {
    return code < texts.size() ? texts.begin()[code] : "N/A";
}

std::string model_text(unsigned code) {
    static const char *const models[] = {"QB-71024", "QB-71031", "QB-71033", "QB-71027",
                                         nullptr,    "QB-71046", "QB-71052", "QB-71058",
                                         "QB-71063", "QB-71069"};
    if (code >= 1 && code <= 10 && models[code - 1])
        return models[code - 1];
    char buf[16];
    snprintf(buf, sizeof buf, "QB00%02X", code);
    return buf;
}

std::string ata_text(const uint8_t *block, size_t off, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; i += 2) {
        s += static_cast<char>(block[off + i + 1]);
        s += static_cast<char>(block[off + i]);
    }
    return s;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

} // namespace

Json run_outcome(const sim::Session &s) {
    const sim::ResultRecord &r = s.record;
    Json o = {{"verdict", nullptr}, {"usb", nullptr}, {"sata", nullptr}, {"failed", Json::array()}};
    // The summary's head line as the program prints it (GB2312 here).
    if (s.out().find("FTQ测试结果如下:\n") == std::string::npos)
        return o;
    bool passed = !r.networkError && !r.rs485Error && !r.alarmError && !r.rtcError &&
                  r.usbExpected == r.usbResult;
    o["verdict"] = passed ? "pass" : "fail";
    o["usb"] = r.usbResult;
    o["sata"] = r.sataResult;
    if (passed)
        return o;
    if (r.networkError)
        o["failed"].push_back("network");
    if (r.rs485Error)
        o["failed"].push_back("rs485");
    if (r.alarmError)
        o["failed"].push_back("alarm");
    if (r.rtcError)
        o["failed"].push_back("rtc");
    int usb = r.boardtype == 6 ? 2 : r.boardtype == 2 || r.boardtype == 5 ? 3 : r.usbExpected;
    if (r.usbResult != usb)
        o["failed"].push_back("usb");
    return o;
}

std::vector<Json> parse_text(const std::string &capture, const std::string &file) {
    std::vector<Json> out;
    for (const ftqrecord::Record &r : ftqrecord::parse_records(capture, file))
        out.push_back(Json::parse(ftqrecord::to_json(r)));
    return out;
}

std::string console_bytes(const sim::Session &s) {
    std::string raw;
    for (const auto &w : s.kernel->console())
        raw += w.bytes;
    return raw;
}

Json scenario_board_and_disks(const std::string &scenario_file) {
    std::ifstream in(scenario_file);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json doc = nlohmann::json::parse(text.str());
    doc.erase("faults");
    doc.erase("signals");
    Json out = {{"board", nullptr}, {"disks", Json::array()}};

    qa::run_routine(doc.dump(), [&] {
        uint8_t b[256] = {};
        int fd = sys::open("/dev/vexio", O_RDWR);
        bool readable = fd >= 0 && sys::ioctl(fd, 0x04, b) == 0 && word(b, 4) != 0xFFFF;
        if (fd >= 0)
            sys::close(fd);
        unsigned sata_port_num = 0;
        if (readable) {
            unsigned w1 = word(b, 16);
            unsigned w2 = bits(w1, 0, 0) ? word(b, 32) : 0;
            unsigned w3 = bits(w2, 0, 0) ? word(b, 48) : 0;
            unsigned w4 = bits(w3, 0, 0) ? word(b, 64) : 0;
            unsigned id = word(b, 6);
            bool nvr = bits(w3, 13, 13);
            std::string kind = nvr ? "(NVR)" : bits(w3, 1, 1) ? "(DVS)" : "(DVR)";
            unsigned date = word(b, 20);
            char cpld[64];
            snprintf(cpld, sizeof cpld, reinterpret_cast<const char *>(u8"20%u%u年%02u月%u%u日"),
                     bits(date, 15, 14), bits(date, 13, 10), bits(date, 9, 6), bits(date, 5, 4),
                     bits(date, 3, 0));
            Json board = Json::object();
            if (b[15] < 1 || b[15] > 10 || b[15] == 5)
                board["unrecognisedModel"] = model_text(b[15]);
            board.update(Json{
                {"deviceType", model_text(b[15]) + kind},
                {"armClock", pick(bits(w1, 15, 14), {"720M", "1G"})},
                {"dspClock", pick(bits(w1, 13, 12), {"600MHz", "800MHz"})},
                {"memClock", pick(bits(w1, 11, 10), {"666MHz", "800MHz", "933MHz"})},
                {"memSize", pick(bits(w1, 9, 8), {"1GB", "768MB", "1.5GB"})},
                {"flashSize", pick(bits(w1, 6, 3), {"16MB", "32MB", "64MB", "2MB+256MB"})},
                {"cpldVersion", cpld},
                {"alarmInputs", bits(w4, 12, 10) == 1 ? 4 : 16},
                {"alarmOutputs", bits(w4, 15, 13) == 1 ? 2 : 4},
            });
            out["board"] = board;
            static const unsigned table[] = {0, 2, 4, 5, 6, 7, 8, 9};
            unsigned code = nvr ? bits(id, 4, 1) : bits(w2, 5, 2);
            if (bits(w2, 5, 2) <= 8 && code <= 7)
                sata_port_num = table[code];
        }
        unsigned names = sata_port_num == 9 ? 9 : sata_port_num + 1;
        for (unsigned i = 0; i < names; ++i) {
            std::string node = std::string("/dev/sd") + static_cast<char>('a' + i);
            int d = sys::open(node.c_str(), O_RDWR | O_NONBLOCK);
            if (d < 0)
                continue;
            uint8_t args[516] = {0xEC, 0, 0, 1};
            if (sys::ioctl(d, 0x031F, args) == 0) {
                const uint8_t *id = args + 4;
                // The bytes as a GB2312 console shows them.
                std::string serial = sim::gb2312_to_utf8(ata_text(id, 20, 20));
                std::string model = sim::gb2312_to_utf8(ata_text(id, 54, 40));
                std::string firmware = sim::gb2312_to_utf8(ata_text(id, 46, 8));
                uint64_t bytes = ~0ULL;
                unsigned long sectors = 0;
                if (sys::ioctl(d, BLKGETSIZE64, &bytes) != 0)
                    bytes =
                        sys::ioctl(d, BLKGETSIZE, &sectors) == 0 ? uint64_t(sectors) << 9 : ~0ULL;
                out["disks"].push_back({{"node", node},
                                        {"serial", serial},
                                        {"serialTrimmed", trimmed(serial)},
                                        {"model", model},
                                        {"modelTrimmed", trimmed(model)},
                                        {"firmware", firmware},
                                        {"firmwareTrimmed", trimmed(firmware)},
                                        {"capacityGB", bytes >> 30}});
            }
            sys::close(d);
        }
        return 0;
    });
    return out;
}

} // namespace qa::record
