// Step 1 of the whole run on the healthy default board.
#include "panelqa.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(PanelWholeRun, LedModesReachThePanelInTheOrderOfTheKeys) {
    auto r = qa::run_ftq("{}");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();

    const std::map<std::string, std::string> mode_of_key = {
        {"ENTER", "LED_RED_ON"},   {"UP", "LED_CHANNEL_FUNC_ON"}, {"DOWN", "LED_CHANNEL_FUNC_OFF"},
        {"LEFT", "LED_STATUS_ON"}, {"RIGHT", "LED_STATUS_OFF"},
    };
    // Every key event the panel sent up to MENU, in order.
    std::vector<sim::TraceEvent> keys;
    for (const auto &e : r.events("panel", "send")) {
        if (e.data["what"] != "key")
            continue;
        if (e.data["key"] == "MENU")
            break;
        keys.push_back(e);
    }
    ASSERT_EQ(keys.size(), 10u);

    auto m = r.events("panel", "led_mode");
    ASSERT_EQ(m.size(), keys.size() + 1);
    EXPECT_EQ(m[0].data["mode"], "LED_ALL_OFF");
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string k = keys[i].data["key"];
        SCOPED_TRACE("key event " + std::to_string(i) + ": " + k);
        EXPECT_EQ(m[i + 1].data["mode"], mode_of_key.at(k));
        EXPECT_GE(m[i + 1].data["start"].get<sim::Time>(), keys[i].t);
    }
    EXPECT_TRUE(r.events("panel", "led_stray").empty());
    EXPECT_TRUE(r.events("panel", "led_incomplete").empty());

    // The key echo sits between the step 1 heading and the step 2 heading.
    std::string out = r.out();
    size_t step1 = out.find("第1步:按键测试\n");
    size_t menu = out.find("key MENU is pressed\n");
    size_t step2 = out.find("第2步:");
    ASSERT_NE(step1, std::string::npos);
    ASSERT_NE(menu, std::string::npos);
    ASSERT_NE(step2, std::string::npos);
    EXPECT_LT(step1, menu);
    EXPECT_LT(menu, step2);
    EXPECT_EQ(out.find("key MENU is up"), std::string::npos);
}

TEST(PanelWholeRun, HeartbeatsGoOnUntilTheProgramEnds) {
    auto r = qa::run_ftq("{}");
    auto open = r.events("panel", "open");
    ASSERT_EQ(open.size(), 1u);
    auto hb = panelqa::frames(r, "heartbeat");
    sim::Time span = r.result.finished_at - open[0].t;
    ASSERT_GT(span, 10 * sim::kSecond);
    EXPECT_EQ(static_cast<sim::Time>(hb.size()), span / (10 * sim::kSecond));
    for (size_t i = 0; i < hb.size(); ++i)
        EXPECT_EQ(hb[i].t, open[0].t + static_cast<sim::Time>(i + 1) * 10 * sim::kSecond);
}

} // namespace
