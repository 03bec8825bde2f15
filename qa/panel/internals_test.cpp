// What only the panel routines themselves show: the frame builder, the
// heartbeat of each board type, the pauses of LED sequences, LED modes the key test never asks for,
// and the reply counter's carry into its high word. Everything the operator or the panel can see is
// in the catalog's panel-* scenarios.
#include "datarows.h"
#include "simrun.h"

#include "board/boardinfo.h"
#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
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

// The frame built from a payload record, then the byte behind it, which
// must stay untouched.
std::string frame(int len, const std::vector<uint8_t> &data) {
    payload p = {len, {}};
    std::copy(data.begin(), data.end(), p.data);
    uint8_t out[16];
    memset(out, 0xEE, sizeof out);
    int n = -1;
    makepanelframe(&p, out, &n);
    if (n < 0 || n >= static_cast<int>(sizeof out))
        return "length " + std::to_string(n);
    return hex(out, n) + " | " + hex(out + n, 1);
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

// The pauses of one LED sequence in microseconds: between its frames, then
// "+" the one after its last frame.
std::string pauses(int type, int mode) {
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
}

// The counter, set to high:low, after the key loop has read n replies.
std::string replies(uint32_t high, uint32_t low, int n) {
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
}

const std::map<std::string, int> LED_MODES = {{"LED_ALL_OFF", LED_ALL_OFF},
                                              {"LED_CHANNEL_FUNC_ON", LED_CHANNEL_FUNC_ON},
                                              {"LED_STATUS_OFF", LED_STATUS_OFF}};

// What the row of qa/data/panel-internals.json runs, with its arguments.
std::string run(const qa::DataRow &row) {
    const std::string kind = row["run"];
    const nlohmann::json &a = row["args"];
    if (kind == "frame")
        return frame(a[0], a[1]);
    if (kind == "heartbeat")
        return written(a[0], [] { sendhb(); });
    if (kind == "pauses")
        return pauses(a[0], LED_MODES.at(a[1]));
    if (kind == "unknown modes")
        return written(a[0], [] {
            for (int mode : {-1, 0, 1, 2, 8, 10, 255})
                panelleds(panelfd, mode);
        });
    if (kind == "replies")
        return replies(a[0], a[1], a[2]);
    return "no such run: " + kind;
}

class PanelInternals : public ::testing::TestWithParam<qa::DataRow> {};

TEST_P(PanelInternals, GiveTheBytesOrCount) {
    EXPECT_EQ(run(GetParam()), GetParam()["expect"]);
}

INSTANTIATE_TEST_SUITE_P(Panel, PanelInternals,
                         ::testing::ValuesIn(qa::data_rows("panel-internals.json")),
                         qa::data_row_name);

} // namespace
