// Panel frames byte for byte, and the LED command sequences of both panel
// variants with their pauses in virtual time.
#include "panelqa.h"

#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <cstring>

using panelqa::routine;

namespace {

struct FrameCase {
    payload p;
    std::vector<uint8_t> wire;
};

TEST(PanelFrame, BuildsStartLengthPayloadAndSum) {
    const FrameCase cases[] = {
        {{4, {0x30, 0x3B, 0x00, 0x00}}, {0xFF, 0x07, 0x30, 0x3B, 0x00, 0x00, 0x71}},
        {{4, {0x30, 0x0A, 0xFA, 0xFF}}, {0xFF, 0x07, 0x30, 0x0A, 0xFA, 0xFF, 0x39}},
        {{4, {0x30, 0x0B, 0x00, 0x00}}, {0xFF, 0x07, 0x30, 0x0B, 0x00, 0x00, 0x41}},
        {{4, {0x30, 0x06, 0x00, 0x00}}, {0xFF, 0x07, 0x30, 0x06, 0x00, 0x00, 0x3C}},
        // Nine 0xFF bytes and the length 0x0B sum to 0x902: only 0x02 stays.
        {{8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
         {0xFF, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}},
        {{1, {0x30}}, {0xFF, 0x04, 0x30, 0x33}},
        {{0, {}}, {0xFF, 0x03, 0x02}},
    };
    for (const auto &c : cases) {
        uint8_t frame[16];
        memset(frame, 0xEE, sizeof frame);
        int len = -1;
        makepanelframe(&c.p, frame, &len);
        ASSERT_EQ(len, static_cast<int>(c.wire.size())) << "payload length " << c.p.len;
        EXPECT_EQ(std::vector<uint8_t>(frame, frame + len), c.wire);
        EXPECT_EQ(frame[len], 0xEE) << "wrote past the frame";
    }
}

TEST(PanelFrame, OversizedPayloadCountNeverReadsOrWritesPastEightBytes) {
    payload p = {20, {1, 2, 3, 4, 5, 6, 7, 8}};
    uint8_t frame[32];
    memset(frame, 0xEE, sizeof frame);
    int len = 0;
    makepanelframe(&p, frame, &len);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(frame[11], 0xEE);
}

TEST(PanelFrame, HeartbeatPerBoardType) {
    const struct {
        int type;
        const char *wire; // empty: nothing written
    } cases[] = {
        {1, "FF 07 30 0B 00 00 41"},
        {6, "FF 07 30 0B 00 00 41"},
        {2, "FF 07 30 06 00 00 3C"},
        {5, "FF 07 30 06 00 00 3C"},
        {3, ""},
        {0, ""},
    };
    for (const auto &c : cases) {
        int result = -1;
        auto r = routine(c.type, {{"silent", true}}, [&result] {
            panelfd = sys::open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_NONBLOCK);
            result = sendhb();
            return 0;
        });
        EXPECT_EQ(result, 1) << "type " << c.type;
        auto hb = panelqa::frames(r, "heartbeat");
        if (*c.wire == '\0') {
            EXPECT_TRUE(hb.empty()) << "type " << c.type;
            EXPECT_TRUE(r.events("panel", "led").empty()) << "type " << c.type;
            continue;
        }
        ASSERT_EQ(hb.size(), 1u) << "type " << c.type;
        EXPECT_EQ(hb[0].bytes, c.wire) << "type " << c.type;
        EXPECT_TRUE(hb[0].whole_write) << "type " << c.type;
    }
}

struct LedCase {
    int mode;
    const char *name;
    size_t joystick_frames;    // board types 1 and 6
    size_t keypad_frames;      // board types 2 and 5
    sim::Time joystick_length; // how long the call takes
    sim::Time keypad_length;
};

constexpr sim::Time MS = sim::kMillisecond;

const LedCase LED_CASES[] = {
    {LED_ALL_OFF, "LED_ALL_OFF", 11, 5, 110 * MS, 50 * MS},
    {LED_RED_ON, "LED_RED_ON", 5, 4, 40 * MS, 30 * MS},
    {LED_CHANNEL_FUNC_ON, "LED_CHANNEL_FUNC_ON", 14, 5, 1120 * MS, 40 * MS},
    {LED_CHANNEL_FUNC_OFF, "LED_CHANNEL_FUNC_OFF", 6, 4, 50 * MS, 30 * MS},
    {LED_STATUS_ON, "LED_STATUS_ON", 4, 2, 30 * MS, 20 * MS},
    {LED_STATUS_OFF, "LED_STATUS_OFF", 3, 2, 20 * MS, 20 * MS},
};

// Sends one LED mode at t = 1 s on a board of this type.
qa::SimRun sendmode(int type, int mode, sim::Time *took = nullptr) {
    auto r = routine(type, {{"silent", true}}, [mode] {
        panelfd = sys::open("/dev/ttyS2", O_RDWR | O_NOCTTY | O_NONBLOCK);
        sys::sleep(1);
        panelleds(panelfd, mode);
        return 0;
    });
    if (took)
        *took = r.result.finished_at - sim::kSecond;
    return r;
}

TEST(PanelLeds, EverySequenceOnBothVariantsWithItsPauses) {
    for (const LedCase &c : LED_CASES) {
        for (int type : {1, 2}) {
            SCOPED_TRACE(std::string(c.name) + " on board type " + std::to_string(type));
            sim::Time took = 0;
            auto r = sendmode(type, c.mode, &took);
            auto f = panelqa::frames(r);
            size_t count = type == 1 ? c.joystick_frames : c.keypad_frames;
            ASSERT_EQ(f.size(), count);
            // The panel recognises the whole sequence as the mode asked for.
            auto m = r.events("panel", "led_mode");
            ASSERT_EQ(m.size(), 1u);
            EXPECT_EQ(m[0].data["mode"], c.name);
            EXPECT_EQ(m[0].data["frames"], count);
            EXPECT_TRUE(r.events("panel", "led_stray").empty());
            for (const auto &frame : f)
                EXPECT_TRUE(frame.whole_write) << frame.bytes;
            // 10 ms between frames; on the joystick panel the last two
            // channel commands are a second apart.
            EXPECT_EQ(f.front().t, sim::kSecond);
            for (size_t i = 1; i < f.size(); ++i) {
                bool long_pause = type == 1 && c.mode == LED_CHANNEL_FUNC_ON && i == f.size() - 1;
                EXPECT_EQ(f[i].t - f[i - 1].t, long_pause ? sim::kSecond : 10 * MS) << i;
            }
            EXPECT_EQ(took, type == 1 ? c.joystick_length : c.keypad_length);
        }
    }
}

TEST(PanelLeds, TypesOfOneVariantSendIdenticalBytesAtIdenticalTimes) {
    for (const LedCase &c : LED_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(panelqa::frames(sendmode(1, c.mode)), panelqa::frames(sendmode(6, c.mode)));
        EXPECT_EQ(panelqa::frames(sendmode(2, c.mode)), panelqa::frames(sendmode(5, c.mode)));
    }
}

TEST(PanelLeds, NothingForBoardsWithoutPanelVariantOrForOtherModes) {
    for (int type : {0, 3})
        for (const LedCase &c : LED_CASES) {
            sim::Time took = -1;
            auto r = sendmode(type, c.mode, &took);
            EXPECT_TRUE(r.events("panel", "led").empty()) << c.name << " type " << type;
            EXPECT_EQ(took, 0) << c.name << " type " << type;
        }
    for (int type : {1, 2})
        for (int mode : {-1, 0, 1, 2, 8, 10, 255}) {
            sim::Time took = -1;
            auto r = sendmode(type, mode, &took);
            EXPECT_TRUE(r.events("panel", "led").empty()) << "mode " << mode << " type " << type;
            EXPECT_EQ(took, 0) << "mode " << mode << " type " << type;
        }
}

} // namespace
