// Test 3 as the operator meets it: prompts, LEDs, keys and the console.
#include "panelqa.h"

#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

using panelqa::bytes_at;
using panelqa::join;
using panelqa::key;

namespace {

const std::string JOYSTICK_PROMPTS = "面板按下摇杆       点亮所有红色灯\n"
                                     "面板输入UP         关闭红色灯并点亮所有通道灯和功能灯\n"
                                     "面板输入DOWN       关闭所有通道灯和功能灯\n"
                                     "面板输入LEFT       点亮状态灯\n"
                                     "面板输入RIGHT      关闭状态灯\n"
                                     "面板输入MENU       退出测试\n";
const std::string KEYPAD_PROMPTS = "面板按下ENTER      点亮所有红色灯\n"
                                   "面板输入UP         关闭红色灯并点亮所有通道灯和功能灯\n"
                                   "面板输入DOWN       关闭所有通道灯和功能灯\n"
                                   "面板输入LEFT       点亮状态灯\n"
                                   "面板输入RIGHT      关闭状态灯\n"
                                   "面板输入MENU       退出测试\n";

const nlohmann::json NOBODY_AT_CONSOLE = {{"console", {{"operator", "absent"}}}};

qa::SimRun runtest(int type, const nlohmann::json &panel,
                   const nlohmann::json &extra = NOBODY_AT_CONSOLE) {
    return panelqa::routine(
        type, panel,
        [] {
            panelopen();
            return paneltest();
        },
        extra);
}

TEST(PanelTest, PromptsPerBoardType) {
    const struct {
        int type;
        const std::string *prompts;
    } cases[] = {{1, &JOYSTICK_PROMPTS}, {6, &JOYSTICK_PROMPTS}, {2, &KEYPAD_PROMPTS},
                 {5, &KEYPAD_PROMPTS},   {3, nullptr},           {0, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE("board type " + std::to_string(c.type));
        auto r = runtest(c.type, {{"silent", true}});
        EXPECT_EQ(r.out(), c.prompts ? *c.prompts : std::string());
        EXPECT_EQ(r.result.code, 0);
        // LEDs all off first; nothing at all where there is no panel variant.
        EXPECT_EQ(panelqa::modes(r),
                  c.prompts ? std::vector<std::string>{"LED_ALL_OFF"} : std::vector<std::string>{});
    }
}

TEST(PanelTest, OperatorKeysSwitchTheLedsOnEveryPanelVariant) {
    const std::vector<std::string> expected = {
        "LED_ALL_OFF",          "LED_RED_ON",          "LED_RED_ON",
        "LED_CHANNEL_FUNC_ON",  "LED_CHANNEL_FUNC_ON", "LED_CHANNEL_FUNC_OFF",
        "LED_CHANNEL_FUNC_OFF", "LED_STATUS_ON",       "LED_STATUS_ON",
        "LED_STATUS_OFF",       "LED_STATUS_OFF"};
    const std::string keys = "key ENTER is pressed\nkey ENTER is up\n"
                             "key UP is pressed\nkey UP is up\n"
                             "key DOWN is pressed\nkey DOWN is up\n"
                             "key LEFT is pressed\nkey LEFT is up\n"
                             "key RIGHT is pressed\nkey RIGHT is up\n"
                             "key MENU is pressed\n";
    for (int type : {1, 6, 2, 5, 3, 0}) {
        SCOPED_TRACE("board type " + std::to_string(type));
        auto r = runtest(type, nullptr);
        bool variant = type != 0 && type != 3;
        std::string prompts = type == 1 || type == 6   ? JOYSTICK_PROMPTS
                              : type == 2 || type == 5 ? KEYPAD_PROMPTS
                                                       : "";
        EXPECT_EQ(r.out(), prompts + keys);
        EXPECT_EQ(panelqa::modes(r), variant ? expected : std::vector<std::string>{});
        EXPECT_TRUE(r.events("panel", "led_stray").empty());
        EXPECT_TRUE(r.events("panel", "led_incomplete").empty());
        if (!variant) {
            EXPECT_TRUE(r.events("panel", "led").empty());
        }
    }
}

TEST(PanelTest, UpLightsTheChannelLedsWhenPressed) {
    auto r = runtest(1, {{"keys",
                          {{{"at", 3.2}, {"key", "UP"}, {"state", "press"}},
                           {{"at", 4.0}, {"key", 10}, {"state", "press"}}}}});
    auto m = r.events("panel", "led_mode");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].data["mode"], "LED_CHANNEL_FUNC_ON");
    EXPECT_EQ(m[1].data["start"], 3200 * sim::kMillisecond);
    // Twelve 10 ms pauses and one of a second.
    EXPECT_EQ(m[1].data["end"], 4320 * sim::kMillisecond);
}

TEST(PanelTest, BytesWaitingAtThePortAreHandledFirst) {
    auto r =
        runtest(2, {{"keys", nlohmann::json::array()},
                    {"bytes", bytes_at({{0.0, join({key("LEFT", true), key("MENU", true)})}})}});
    EXPECT_EQ(r.out(), KEYPAD_PROMPTS + "key LEFT is pressed\nkey MENU is pressed\n");
    EXPECT_EQ(panelqa::modes(r), (std::vector<std::string>{"LED_ALL_OFF", "LED_STATUS_ON"}));
    // ALL_OFF and STATUS_ON on this panel, then one second of console wait.
    EXPECT_EQ(r.result.finished_at, (50 + 20 + 1000) * sim::kMillisecond);
}

nlohmann::json typed(std::initializer_list<std::pair<double, const char *>> lines) {
    nlohmann::json script = nlohmann::json::array();
    for (const auto &l : lines)
        script.push_back({{"at", l.first}, {"text", l.second}});
    return {{"console", {{"operator", "script"}, {"script", script}}}};
}

// With a silent joystick panel the key loop ends at 5.11 s: LED_ALL_OFF
// takes 110 ms, then five seconds without a byte.
TEST(PanelTest, ConsoleDrainSwallowsBareEnterAndReturnsTheLastWait) {
    const sim::Time drain = 5110 * sim::kMillisecond;
    const struct {
        const char *name;
        nlohmann::json console;
        int result;
        sim::Time ends;
    } cases[] = {
        {"nothing typed", NOBODY_AT_CONSOLE, 0, drain + sim::kSecond},
        {"Enter during the test and during the drain, then a word",
         typed({{2.0, "\n"}, {5.6, "\n"}, {6.3, "ok\n"}, {6.4, "\n"}}), 2,
         6300 * sim::kMillisecond},
        {"Enter presses only", typed({{2.0, "\n"}, {5.6, "\n"}}), 0,
         5600 * sim::kMillisecond + sim::kSecond},
        {"a word during the test", typed({{1.0, "abc\n"}}), 3, drain},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = runtest(1, {{"silent", true}}, c.console);
        EXPECT_EQ(r.result.code, c.result);
        EXPECT_EQ(r.result.finished_at, c.ends);
        EXPECT_EQ(r.out(), JOYSTICK_PROMPTS);
    }
}

} // namespace
