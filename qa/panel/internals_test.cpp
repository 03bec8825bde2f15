// What only the panel routines themselves show: the frame builder, the
// heartbeat of each board type, the pauses of LED sequences, LED modes the key test never asks for,
// and the reply counter's carry into its high word. Everything the operator or the panel can see is
// in the catalog's panel-* scenarios.
#include "simrun.h"

#include "board/boardinfo.h"
#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <vector>

namespace {

std::string hex(const uint8_t *b, int n) {
    std::string out;
    char two[4];
    for (int i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02X", b[i]);
        out += (i ? " " : "") + std::string(two);
    }
    return out;
}

using Run = std::function<std::string()>;

// The frame built from a payload record, then the byte behind it, which
// must stay untouched.
Run frame(int len, std::vector<uint8_t> data) {
    return [=] {
        payload p = {len, {}};
        std::copy(data.begin(), data.end(), p.data);
        uint8_t out[16];
        memset(out, 0xEE, sizeof out);
        int n = -1;
        makepanelframe(&p, out, &n);
        if (n < 0 || n >= static_cast<int>(sizeof out))
            return "length " + std::to_string(n);
        return hex(out, n) + " | " + hex(out + n, 1);
    };
}

// The frames the panel received while body ran on a board of this type.
std::string written(int type, const std::function<void()> &body) {
    auto r = qa::run_routine(
        R"({"board": {"type": )" + std::to_string(type) + R"(}, "panel": {"silent": true}})", [&] {
            boardtype = type;
            panelfd = sys::open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_NONBLOCK);
            body();
            return 0;
        });
    std::string out;
    for (const auto &e : r.events("panel"))
        if (e.ev == "heartbeat" || e.ev == "led" || e.ev == "frame" || e.ev == "garbage" ||
            e.ev == "bad_checksum")
            out += (out.empty() ? "" : " ") + e.data["bytes"].get<std::string>();
    return out;
}

Run heartbeat(int type) {
    return [=] { return written(type, [] { sendhb(); }); };
}

Run unknown_modes(int type) {
    return [=] {
        return written(type, [] {
            for (int mode : {-1, 0, 1, 2, 8, 10, 255})
                panelleds(panelfd, mode);
        });
    };
}

// The pauses of one LED sequence in microseconds: between its frames, then
// "+" the one after its last frame.
Run pauses(int type, int mode) {
    return [=] {
        std::vector<sim::Time> at;
        sim::Time ended = 0;
        auto r = qa::run_on_board(R"({"board": {"type": )" + std::to_string(type) +
                                      R"(}, "panel": {"silent": true}})",
                                  [&](sim::Kernel &k) {
                                      boardtype = type;
                                      panelleds(sys::open("/dev/ttyS2", O_RDWR | O_NOCTTY), mode);
                                      ended = k.now();
                                      return 0;
                                  });
        for (const auto &e : r.events("panel", "led"))
            at.push_back(e.t);
        std::string out;
        for (size_t i = 1; i < at.size(); ++i)
            out += std::to_string(at[i] - at[i - 1]) + " ";
        return at.empty() ? "no frame" : out + "+" + std::to_string(ended - at.back());
    };
}

// The counter, set to high:low, after the key loop has read n replies.
Run replies(uint32_t high, uint32_t low, int n) {
    return [=] {
        std::string bytes;
        for (int i = 0; i < n; ++i)
            bytes += "FF 07 30 0B 00 00 41 ";
        bytes += "FF 07 20 0A 01 00 31"; // MENU
        std::string counted;
        qa::run_routine(
            R"({"panel": {"keys": [], "bytes": [{"at": 0.5, "hex": ")" + bytes + R"("}]}})", [&] {
                panelRepliesHigh = high;
                panelRepliesLow = low;
                panelkeyloop(sys::open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_NONBLOCK));
                counted = std::to_string(panelRepliesHigh) + ":" + std::to_string(panelRepliesLow);
                return 0;
            });
        return counted;
    };
}

struct Row {
    const char *what;
    Run run;
    const char *expect;
};

const uint8_t FF = 0xFF;
const Row ROWS[] = {
    {"command 3B", frame(4, {0x30, 0x3B, 0, 0}), "FF 07 30 3B 00 00 71 | EE"},
    {"command 0A FA FF", frame(4, {0x30, 0x0A, 0xFA, 0xFF}), "FF 07 30 0A FA FF 39 | EE"},
    {"sum wraps", frame(8, {FF, FF, FF, FF, FF, FF, FF, FF}),
     "FF 0B FF FF FF FF FF FF FF FF 02 | EE"},
    {"no payload", frame(0, {}), "FF 03 02 | EE"},
    {"count 20 capped at 8", frame(20, {1, 2, 3, 4, 5, 6, 7, 8}),
     "FF 0B 01 02 03 04 05 06 07 08 2E | EE"},
    {"negative count", frame(-1, {}), "FF 03 02 | EE"},
    {"heartbeat type 1", heartbeat(1), "FF 07 30 0B 00 00 41"},
    {"heartbeat type 6", heartbeat(6), "FF 07 30 0B 00 00 41"},
    {"heartbeat type 2", heartbeat(2), "FF 07 30 06 00 00 3C"},
    {"heartbeat type 5", heartbeat(5), "FF 07 30 06 00 00 3C"},
    {"heartbeat type 3", heartbeat(3), ""},
    {"heartbeat type 0", heartbeat(0), ""},
    {"all off, joystick: 10 ms after every frame", pauses(1, LED_ALL_OFF),
     "10000 10000 10000 10000 10000 10000 10000 10000 10000 10000 +10000"},
    {"channel function on, joystick: 1 s before the last", pauses(1, LED_CHANNEL_FUNC_ON),
     "10000 10000 10000 10000 10000 10000 10000 10000 10000 10000 10000 10000 1000000 +0"},
    {"channel function on, keypad", pauses(2, LED_CHANNEL_FUNC_ON), "10000 10000 10000 10000 +0"},
    {"status off, joystick", pauses(1, LED_STATUS_OFF), "10000 10000 +0"},
    {"status off, keypad: 10 ms after the last too", pauses(2, LED_STATUS_OFF), "10000 +10000"},
    {"unknown LED modes joystick", unknown_modes(1), ""},
    {"unknown LED modes keypad", unknown_modes(2), ""},
    {"one reply short of the carry", replies(0, 0xFFFFFFFD, 1), "0:4294967294"},
    {"carry", replies(0, 0xFFFFFFFD, 2), "1:0"},
    {"carry and on", replies(0, 0xFFFFFFFE, 3), "1:2"},
    {"carry into a high word", replies(7, 0xFFFFFFFE, 1), "8:0"},
};

void PrintTo(const Row &r, std::ostream *os) {
    *os << r.what;
}

// ctest names each case after its row ("carry and on" is carry_and_on), so that
// a name selects the same case in every build.
std::string row_name(const ::testing::TestParamInfo<Row> &info) {
    std::string id = info.param.what;
    for (char &c : id)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return id;
}

class PanelInternals : public ::testing::TestWithParam<Row> {};

TEST_P(PanelInternals, GiveTheBytesOrCount) {
    EXPECT_EQ(GetParam().run(), GetParam().expect) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Panel, PanelInternals, ::testing::ValuesIn(ROWS), row_name);

} // namespace
