// The raw 256-byte board information block through its decoding, the
// board settings and the board information report.
//
// The board I/O driver hands over the fuzz bytes as the raw block (padded
// with zeros to 256 bytes). One run reads it with getboardinfo, derives
// the settings with boardsettings and prints the report with boardinfotest.
//
// Checks, against a decoding of the block written from the layout: the
// record's every field, the result (-1 exactly when the validity value is
// 0xFFFF), the settings after each routine, and the report byte for byte.
// Byte 256 of the input, when present, is the sata_port_num left by an
// earlier decoding, so that the "keeps its value" rules are exercised.
#include "fuzzsupport.h"

#include "board/boardinfo.h"
#include "board/boardreport.h"
#include "board/vexio.h"
#include "platform/sys.h"

#include <cstdio>
#include <cstring>

namespace {

using fuzz::json;

uint16_t le16(const uint8_t *b, int at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
unsigned field(uint16_t w, int hi, int lo) {
    return (w >> lo) & ((1u << (hi - lo + 1)) - 1);
}

struct Settings {
    int net = 1;
    unsigned sata = 0;
    int alarmout = 0;
    int alarmin = 0;
    unsigned usb = 0;
    bool operator==(const Settings &) const = default;
};

Settings current() {
    return {netPortCount, sata_port_num, alarmOutCount, alarmInCount, usbExpected};
}

// The record as the layout defines it; false when the block holds no data.
bool decode(const uint8_t *raw, boardinfo &r, Settings &s) {
    std::memset(&r, 0, sizeof r);
    uint16_t id = le16(raw, 6);
    r.nvrSecondPort = static_cast<uint8_t>(field(id, 11, 11));
    r.nvrSataCode = static_cast<uint8_t>(field(id, 4, 1));
    r.modelCode = static_cast<uint16_t>(raw[15]);
    r.cpldDate = le16(raw, 20);
    if (le16(raw, 4) == 0xFFFF)
        return false;
    uint16_t w1 = le16(raw, 16);
    r.armClock = static_cast<uint8_t>(field(w1, 15, 14));
    r.dspClock = static_cast<uint8_t>(field(w1, 13, 12));
    r.memClock = static_cast<uint8_t>(field(w1, 11, 10));
    r.memSize = static_cast<uint8_t>(field(w1, 9, 8));
    r.flashSize = static_cast<uint8_t>(field(w1, 6, 3));
    if (!(w1 & 1))
        return true;
    uint16_t w2 = le16(raw, 32);
    r.secondPort = static_cast<uint8_t>(field(w2, 10, 10));
    r.sataCode = static_cast<uint8_t>(field(w2, 5, 2));
    if (!(w2 & 1))
        return true;
    uint16_t w3 = le16(raw, 48);
    r.isNvr = static_cast<uint8_t>(field(w3, 13, 13));
    r.usbCount = static_cast<uint8_t>(field(w3, 9, 8));
    r.isDvs = static_cast<uint8_t>(field(w3, 1, 1));
    s.usb = r.usbCount;
    if (!(w3 & 1))
        return true;
    uint16_t w4 = le16(raw, 64);
    r.alarmOutCode = static_cast<uint8_t>(field(w4, 15, 13));
    r.alarmInCode = static_cast<uint8_t>(field(w4, 12, 10));
    return true;
}

void settle(const boardinfo &r, Settings &s) {
    static const unsigned table[8] = {0, 2, 4, 5, 6, 7, 8, 9};
    s.net = (r.isNvr ? r.nvrSecondPort : r.secondPort) ? 2 : 1;
    if (r.sataCode <= 8) {
        unsigned code = r.isNvr ? r.nvrSataCode : r.sataCode;
        if (code <= 7)
            s.sata = table[code];
    }
    s.alarmout = r.alarmOutCode == 1 ? 2 : 4;
    s.alarmin = r.alarmInCode == 1 ? 4 : 16;
}

const char *pick(unsigned code, std::initializer_list<const char *> names) {
    return code < names.size() ? names.begin()[code] : "N/A";
}

std::string report(const boardinfo &r, const Settings &s) {
    static const char *const models[] = {nullptr,    "QB-71024", "QB-71031", "QB-71033",
                                         "QB-71027", nullptr,    "QB-71046", "QB-71052",
                                         "QB-71058", "QB-71063", "QB-71069"};
    std::string out = "CPLD信息: \n";
    char model[32];
    if (r.modelCode <= 10 && models[r.modelCode] != nullptr) {
        std::snprintf(model, sizeof model, "%s", models[r.modelCode]);
    } else {
        std::snprintf(model, sizeof model, "QB00%02X", static_cast<unsigned>(r.modelCode));
        out += std::string("无法识别的CPLD信息(") + model + ")\n";
    }
    out += std::string("\n设备类型 : ") + model +
           (r.isNvr   ? "(NVR)"
            : r.isDvs ? "(DVS)"
                      : "(DVR)") +
           "\n";
    out += std::string("ARM主频  : ") + pick(r.armClock, {"720M", "1G"}) + "\n";
    out += std::string("DSP主频  : ") + pick(r.dspClock, {"600MHz", "800MHz"}) + "\n";
    out += std::string("内存频率 : ") + pick(r.memClock, {"666MHz", "800MHz", "933MHz"}) + "\n";
    out += std::string("内存大小 : ") + pick(r.memSize, {"1GB", "768MB", "1.5GB"}) + "\n";
    out += std::string("FLASH大小: ") + pick(r.flashSize, {"16MB", "32MB", "64MB", "2MB+256MB"}) +
           "\n";
    unsigned d = r.cpldDate;
    char date[64];
    std::snprintf(date, sizeof date, "CPLD版本 : 20%d%d年%02d月%d%d日\n", (d >> 14) & 3,
                  (d >> 10) & 15, (d >> 6) & 15, (d >> 4) & 3, d & 15);
    out += date;
    out += "报警 I/O : " + std::to_string(s.alarmin) + "/" + std::to_string(s.alarmout) + "\n";
    return out;
}

bool same(const boardinfo &a, const boardinfo &b) {
    return a.nvrSecondPort == b.nvrSecondPort && a.nvrSataCode == b.nvrSataCode &&
           a.modelCode == b.modelCode && a.cpldDate == b.cpldDate && a.armClock == b.armClock &&
           a.dspClock == b.dspClock && a.memClock == b.memClock && a.memSize == b.memSize &&
           a.flashSize == b.flashSize && a.secondPort == b.secondPort && a.sataCode == b.sataCode &&
           a.isNvr == b.isNvr && a.usbCount == b.usbCount && a.isDvs == b.isDvs &&
           a.alarmOutCode == b.alarmOutCode && a.alarmInCode == b.alarmInCode;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t raw[256] = {};
    std::memcpy(raw, data, size < 256 ? size : 256);
    uint8_t earlier_sata = size > 256 ? data[256] : 0;

    json doc = {{"board", {{"raw_info", fuzz::hex(raw, sizeof raw)}}},
                {"console", {{"operator", "absent"}}},
                {"panel", {{"silent", true}}},
                {"disks", fuzz::small_storage()},
                {"system", {{"time_limit", 10}, {"spin_limit", 2000}}}};

    boardinfo got{};
    int got_rc = 0, settings_rc = 0, report_rc = 0;
    Settings before, after_settings, after_report;
    size_t report_from = 0;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &k) {
        sata_port_num = earlier_sata;
        before = current();
        int fd = sys::open(VEXIO_PATH, O_RDWR);
        std::memset(&got, 0xA5, sizeof got);
        got_rc = getboardinfo(fd, &got);
        sys::close(fd);
        settings_rc = boardsettings();
        after_settings = current();
        report_from = k.console().size();
        report_rc = boardinfotest();
        after_report = current();
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());

    boardinfo want;
    Settings expect = before;
    bool valid = decode(raw, want, expect);
    FUZZ_CHECK(b, got_rc == (valid ? 0 : -1), "getboardinfo returned %d", got_rc);
    FUZZ_CHECK(b, !valid || same(got, want), "getboardinfo decoded the record wrongly");
    FUZZ_CHECK(b, settings_rc == got_rc && report_rc == got_rc,
               "boardsettings returned %d and boardinfotest %d, getboardinfo %d", settings_rc,
               report_rc, got_rc);

    std::string printed;
    for (size_t i = report_from; i < b->kernel->console().size(); ++i)
        printed += b->kernel->console()[i].bytes;
    if (!valid) {
        // Nothing may change, apart from what no reading touches.
        FUZZ_CHECK(b, after_settings == before && after_report == before,
                   "settings changed although the block holds no data");
        FUZZ_CHECK(b, printed.empty(), "a report of a block without data:\n%s", printed.c_str());
        return 0;
    }
    settle(want, expect);
    FUZZ_CHECK(b, after_settings == expect,
               "boardsettings gave net %d sata %u alarms %d/%d usb %u; expected net %d sata %u "
               "alarms %d/%d usb %u",
               after_settings.net, after_settings.sata, after_settings.alarmin,
               after_settings.alarmout, after_settings.usb, expect.net, expect.sata, expect.alarmin,
               expect.alarmout, expect.usb);
    FUZZ_CHECK(b, after_report == expect, "the report changed the settings it should repeat");
    std::string expected = report(want, expect);
    FUZZ_CHECK(b, printed == expected, "report\n%s\nexpected\n%s", printed.c_str(),
               expected.c_str());
    return 0;
}
