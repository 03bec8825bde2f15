// The key loop: how bytes from the panel are cut into frames and what each
// frame does.
#include "panelqa.h"

#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

using panelqa::bytes_at;
using panelqa::join;
using panelqa::key;
using panelqa::keycode;
using panelqa::repeat;
using panelqa::REPLY;

namespace {

// The key loop alone, on a joystick-panel board whose panel sends only
// the given bytes; the program lingers a while after the loop.
qa::SimRun keyloop(const nlohmann::json &chunks, uint32_t *replies = nullptr,
                   unsigned linger_s = 0) {
    auto r =
        panelqa::routine(1, {{"keys", nlohmann::json::array()}, {"bytes", chunks}}, [linger_s] {
            panelopen();
            panelkeyloop(panelfd);
            sys::sleep(linger_s);
            return 0;
        });
    if (replies)
        *replies = panelRepliesLow;
    return r;
}

struct ParseCase {
    const char *name;
    nlohmann::json chunks;
    std::string out;
    std::vector<std::string> modes;
};

const std::string UP = key("UP", true);
const std::string DOWN = key("DOWN", true);

TEST(PanelKeyLoop, CutsFramesOutOfWhateverTheReadsBring) {
    const ParseCase cases[] = {
        {"a frame split over two reads",
         bytes_at({{0.5, "FF 07 20 14"}, {0.7, "01 00 3B"}}),
         "key UP is pressed\n",
         {"LED_CHANNEL_FUNC_ON"}},
        {"two frames in one read",
         bytes_at({{0.5, join({UP, DOWN})}}),
         "key UP is pressed\nkey DOWN is pressed\n",
         {"LED_CHANNEL_FUNC_ON", "LED_CHANNEL_FUNC_OFF"}},
        {"filler bytes 00 and 80 around frames",
         bytes_at({{0.5, join({"00 80 00", UP, "80 80", DOWN, "00"})}}),
         "key UP is pressed\nkey DOWN is pressed\n",
         {"LED_CHANNEL_FUNC_ON", "LED_CHANNEL_FUNC_OFF"}},
        {"start bytes 7F and 01, checksum not checked",
         bytes_at({{0.5, "7F 07 20 14 01 00 00 01 07 20 15 01 00 00"}}),
         "key UP is pressed\nkey DOWN is pressed\n",
         {"LED_CHANNEL_FUNC_ON", "LED_CHANNEL_FUNC_OFF"}},
        {"a five-byte key frame",
         bytes_at({{0.5, "FF 05 20 17 01"}}),
         "key RIGHT is pressed\n",
         {"LED_STATUS_OFF"}},
        // A bad length skips one byte only: the length byte is the next
        // candidate start, and here it starts a frame of its own.
        {"length 4 skipped by one byte",
         bytes_at({{0.5, "FF 04 07 20 14 01 00 00"}}),
         "key UP is pressed\n",
         {"LED_CHANNEL_FUNC_ON"}},
        {"length 15 skipped by one byte",
         bytes_at({{0.5, "FF 0F 07 20 15 01 00 00 00 00 00 00 00 00 00"}}),
         "key DOWN is pressed\n",
         {"LED_CHANNEL_FUNC_OFF"}},
        {"length 15 waits for its fifteen bytes first",
         bytes_at({{0.5, "FF 0F 07 20 15 01 00 00 00 00 00 00 00 00"}}),
         "",
         {}},
        // 04 becomes a start byte with the length 0x20: the valid frame
        // behind it waits until 32 bytes from the 04 are held.
        {"FF 04 20 14 01 00 with all 32 bytes",
         bytes_at({{0.5, join({"FF 04 20 14 01 00", DOWN})}, {2.0, repeat("00", 20)}}),
         "key DOWN is pressed\n",
         {"LED_CHANNEL_FUNC_OFF"}},
        {"FF 04 20 14 01 00 one byte short",
         bytes_at({{0.5, join({"FF 04 20 14 01 00", DOWN})}, {2.0, repeat("00", 19)}}),
         "",
         {}},
        {"key codes beyond the table and empty names",
         bytes_at({{0.5, join({keycode(84, true), keycode(255, false), keycode(83, true),
                               keycode(31, true), keycode(73, false)})}}),
         "unknow key\nunknow key\nkey ARCHIVE is pressed\nkey  is pressed\nkey  is up\n",
         {}},
        {"keys that light nothing",
         bytes_at({{0.5, join({key("ESC", true), keycode(75, true), key("POWER", false)})}}),
         "key ESC is pressed\nkey A is pressed\nkey POWER is up\n",
         {}},
        {"other frame types",
         bytes_at({{0.5, join({"FF 07 21 01 00 00 28", "FF 06 22 05 00 2E", REPLY, "FF 05 31 00 35",
                               "FF 07 00 00 00 00 06"})}}),
         "control pannel is pressed\nmain control keyboard is pressed\n"
         "other messages is received\nother messages is received\n",
         {}},
        {"a release acts as the press does",
         bytes_at({{0.5, key("UP", true)}, {0.8, key("UP", false)}}),
         "key UP is pressed\nkey UP is up\n",
         {"LED_CHANNEL_FUNC_ON", "LED_CHANNEL_FUNC_ON"}},
        {"more than a buffer at once",
         bytes_at({{0.5, join({repeat(REPLY, 100), UP})}}),
         "key UP is pressed\n",
         {"LED_CHANNEL_FUNC_ON"}},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = keyloop(c.chunks);
        EXPECT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
        EXPECT_EQ(panelqa::shown(r.out()), c.out);
        EXPECT_EQ(panelqa::modes(r), c.modes);
        EXPECT_EQ(panelqa::queued(r), "");
    }
}

TEST(PanelKeyLoop, IncompleteFrameIsHandledTheMomentItCompletes) {
    auto r = keyloop(bytes_at({{0.5, join({"FF 04 20 14 01 00", DOWN})}, {2.0, repeat("00", 20)}}));
    EXPECT_EQ(panelqa::printed_at(r, "key DOWN is pressed"), 2 * sim::kSecond);
    // Five seconds of silence after the last byte end the loop.
    sim::Time led_time = 50 * sim::kMillisecond;
    EXPECT_EQ(r.result.finished_at, 7 * sim::kSecond + led_time);
}

TEST(PanelKeyLoop, MenuEndsOnItsFirstEventAndLeavesTheRestQueued) {
    const struct {
        const char *name;
        nlohmann::json chunks;
        std::string out;
        std::string left;
    } cases[] = {
        {"press, then release", bytes_at({{0.5, key("MENU", true)}, {0.8, key("MENU", false)}}),
         "key MENU is pressed\n", key("MENU", false)},
        {"a release alone, with a key behind it", bytes_at({{0.5, key("MENU", false)}, {0.7, UP}}),
         "key MENU is up\n", UP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = keyloop(c.chunks, nullptr, 1);
        EXPECT_EQ(panelqa::shown(r.out()), c.out);
        EXPECT_TRUE(panelqa::modes(r).empty());
        EXPECT_EQ(panelqa::queued(r), c.left);
        // The loop ended at once, not after five seconds of silence.
        EXPECT_EQ(r.result.finished_at, 1500 * sim::kMillisecond);
    }
}

TEST(PanelKeyLoop, SilenceEndsTheLoopAfterFiveSecondsWithoutAMessage) {
    auto r = keyloop(nlohmann::json::array());
    EXPECT_EQ(r.out(), "");
    EXPECT_EQ(r.result.finished_at, 5 * sim::kSecond);
}

// 73 replies and the start byte of a key frame fill the 512-byte buffer
// with the frame unfinished; the rest of the frame comes later.
TEST(PanelKeyLoop, FullBufferWithUnfinishedFrameWaitsForTheRest) {
    uint32_t replies = 0;
    auto r = keyloop(bytes_at({{0.5, join({repeat(REPLY, 73), "FF"})}, {1.0, "07 20 0A 01 00 31"}}),
                     &replies);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(panelqa::shown(r.out()), "key MENU is pressed\n");
    EXPECT_EQ(replies, 73u);
    EXPECT_EQ(r.result.finished_at, 1 * sim::kSecond);
}

// A port in error stays readable and fails every read: the loop rests
// between reads and ends when failed reads in a row have lasted five
// seconds, as for a silent panel, instead of spinning on the port. A failed
// read now and then loses no key, however late in a quiet spell it comes.
TEST(PanelKeyLoop, FailedReadsEndTheLoopOnlyWhenTheyLastTheSilenceOut) {
    const struct {
        const char *name;
        const char *faults;
        double key_at;
        std::string out;
        sim::Time end;
    } cases[] = {
        {"every read fails",
         R"({"faults": [{"call": "read", "path": "/dev/ttyS2", "every": true}]})", 0.5,
         [] {
             std::string lines;
             for (int i = 0; i < 50; ++i)
                 lines += "read failed\n";
             return lines;
         }(),
         5500 * sim::kMillisecond},
        // One failure costs a short rest; the key comes through after it
        // and the silence counts afresh from there.
        {"one read fails", R"({"faults": [{"call": "read", "path": "/dev/ttyS2"}]})", 0.5,
         "read failed\nkey DOWN is pressed\n", 5600 * sim::kMillisecond + 50 * sim::kMillisecond},
        // The key is handled at 5.05 s; the heartbeat at 10 s draws a reply
        // at 10.05 s, and the silence runs from there.
        {"one read fails at the end of a quiet spell",
         R"({"faults": [{"call": "read", "path": "/dev/ttyS2", "errno": "EAGAIN"}]})", 4.95,
         "read failed\nkey DOWN is pressed\n", 15050 * sim::kMillisecond},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = panelqa::routine(
            1, {{"keys", nlohmann::json::array()}, {"bytes", bytes_at({{c.key_at, DOWN}})}},
            [] {
                panelopen();
                panelkeyloop(panelfd);
                return 0;
            },
            nlohmann::json::parse(c.faults));
        EXPECT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
        EXPECT_EQ(panelqa::shown(r.out()), c.out);
        EXPECT_EQ(r.result.finished_at, c.end);
    }
}

TEST(PanelKeyLoop, FailedHandlerInstallationEndsTheProgram) {
    auto r = panelqa::routine(
        1, {{"silent", true}},
        [] {
            panelopen();
            panelkeyloop(panelfd);
            return 0;
        },
        nlohmann::json::parse(R"({"faults": [{"call": "sigaction"}]})"));
    EXPECT_EQ(r.out(), "signal failed\n");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 255);
}

} // namespace
