// The panel link on the simulated board: opening and configuring the port,
// the heartbeat thread, and the set-up failures that end the program.
#include "panelqa.h"

#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <cstring>

using panelqa::routine;

namespace {

std::vector<sim::Time> heartbeat_times(const qa::SimRun &r) {
    std::vector<sim::Time> out;
    for (const auto &f : panelqa::frames(r, "heartbeat"))
        out.push_back(f.t);
    return out;
}

TEST(PanelLink, HeartbeatEveryTenSecondsFromTheOpening) {
    for (int type : {1, 6, 2, 5, 3, 0}) {
        SCOPED_TRACE("board type " + std::to_string(type));
        auto r = routine(type, {{"silent", true}}, [] {
            sys::sleep(3);
            panelopen();
            sys::sleep(35);
            return 0;
        });
        EXPECT_EQ(r.events("kernel", "thread").size(), 1u); // the thread runs on every type
        std::vector<sim::Time> expected;
        if (type != 0 && type != 3)
            expected = {13 * sim::kSecond, 23 * sim::kSecond, 33 * sim::kSecond};
        EXPECT_EQ(heartbeat_times(r), expected);
        for (const auto &f : panelqa::frames(r, "heartbeat"))
            EXPECT_TRUE(f.whole_write);
    }
}

TEST(PanelLink, HeartbeatFallsBetweenLedFramesWithoutSplittingOne) {
    // The LED sequence is under way when the first heartbeat leaves.
    const struct {
        int type;
        int mode;
        useconds_t start_us;
        const char *expect;
    } cases[] = {
        {1, LED_CHANNEL_FUNC_ON, 9500000, "LED_CHANNEL_FUNC_ON"},
        {2, LED_ALL_OFF, 9975000, "LED_ALL_OFF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expect);
        auto r = routine(c.type, {{"silent", true}}, [&c] {
            panelopen();
            sys::usleep(c.start_us);
            panelleds(panelfd, c.mode);
            return 0;
        });
        auto leds = panelqa::frames(r);
        auto hb = panelqa::frames(r, "heartbeat");
        ASSERT_EQ(hb.size(), 1u);
        ASSERT_FALSE(leds.empty());
        EXPECT_LT(leds.front().t, hb[0].t);
        EXPECT_GT(leds.back().t, hb[0].t);
        EXPECT_TRUE(hb[0].whole_write);
        for (const auto &f : leds)
            EXPECT_TRUE(f.whole_write) << f.bytes;
        EXPECT_EQ(panelqa::modes(r), std::vector<std::string>{c.expect});
        EXPECT_TRUE(r.events("panel", "garbage").empty());
        EXPECT_TRUE(r.events("panel", "partial_frame").empty());
    }
}

TEST(PanelLink, WithoutHeartbeatThreadTheKeyTestStillWorks) {
    int result = 0;
    auto r = routine(
        1, nullptr,
        [&result] {
            result = panelopen();
            paneltest();
            sys::sleep(30);
            return 0;
        },
        nlohmann::json::parse(R"({"faults": [{"call": "pthread_create", "errno": "EAGAIN"}]})"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(r.out().rfind("can not creat HB thread\n", 0), 0u) << r.out();
    EXPECT_TRUE(r.events("panel", "heartbeat").empty());
    EXPECT_NE(r.out().find("key MENU is pressed\n"), std::string::npos);
    EXPECT_EQ(panelqa::modes(r).size(), 11u);
}

TEST(PanelLink, SetUpFailuresEndTheProgramBeforeAnyTestStep) {
    const struct {
        nlohmann::json panel;
        const char *message;
    } failures[] = {
        {{{"missing", true}}, "open /dev/ttyS2 failed\n"},
        {{{"tcsetattr_fails", true}}, "tcsetattr failed\n"},
    };
    const std::vector<std::vector<std::string>> runs = {{}, {"-o", "3"}, {"-o", "5"}, {"-o", "1"}};
    for (const auto &f : failures)
        for (const auto &args : runs) {
            SCOPED_TRACE(std::string(f.message) + " with " + std::to_string(args.size()) +
                         " arguments " + (args.empty() ? "" : args[1]));
            auto r = qa::run_ftq(panelqa::scenario(1, f.panel), args);
            EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
            EXPECT_EQ(r.result.code, 255);
            std::string out = r.out();
            ASSERT_GE(out.size(), strlen(f.message));
            EXPECT_EQ(out.substr(out.size() - strlen(f.message)), f.message);
            EXPECT_EQ(out.find("第1步"), std::string::npos);
            EXPECT_EQ(out.find("面板"), std::string::npos);
            EXPECT_TRUE(r.events("kernel", "thread").empty());
        }
}

} // namespace
