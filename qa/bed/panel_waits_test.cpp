// How long the panel model waits on an LED sequence before it judges it:
// the real panel's times on the simulated board, and the longer waits the
// bed's panel peer is given for a starved host, which must still report a
// sequence the program really leaves unfinished.
#include "sim/models/panel.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr sim::Time kMs = sim::kMillisecond;

// A carrier whose clock moves only when the test says so.
class StepHost : public sim::Host {
  public:
    sim::Time now() const override { return now_; }
    void at(sim::Time when, std::function<void()> fn) override {
        timers_.emplace(when, std::move(fn));
    }
    void trace(const std::string &dev, const std::string &ev, nlohmann::json data) override {
        if (dev == "panel" && ev.rfind("led_", 0) == 0)
            events +=
                ev + (data.contains("mode") ? " " + data["mode"].get<std::string>() : "") + "; ";
    }
    sim::Wiring &wiring() override { return wiring_; }
    const sim::Scenario &scenario() const override { return scenario_; }
    void add_device(const std::string &, sim::Device *) override {}

    void advance(sim::Time by) {
        sim::Time until = now_ + by;
        while (!timers_.empty() && timers_.begin()->first <= until) {
            now_ = std::max(now_, timers_.begin()->first);
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            fn();
        }
        now_ = until;
    }

    explicit StepHost(int board_type)
        : scenario_(sim::Scenario::from_json({{"board", {{"type", board_type}}},
                                              {"panel", {{"keys", nlohmann::json::array()}}}})) {}
    std::string events;

  private:
    sim::Time now_ = 0;
    std::multimap<sim::Time, std::function<void()>> timers_;
    sim::Wiring wiring_;
    sim::Scenario scenario_;
};

using Frame = std::vector<uint8_t>;

// An LED command frame as the program writes it.
Frame led(uint8_t cmd, uint8_t p1, uint8_t p2) {
    Frame f = {0xFF, 7, 0x30, cmd, p1, p2};
    uint8_t sum = 0;
    for (uint8_t b : f)
        sum = static_cast<uint8_t>(sum + b);
    f.push_back(sum);
    return f;
}

// The joystick's channel-function-on sequence: its last frame comes 1 s
// after the one before it.
const std::vector<Frame> kChannelOnHead = {
    led(0x3B, 0, 0), led(0x07, 0, 0), led(0x17, 0, 0), led(0x18, 0, 0), led(0x19, 0, 0),
    led(0x41, 0, 0), led(0x35, 0, 1), led(0x38, 0, 1), led(0x3B, 0, 0), led(0x3C, 0xFF, 0xFF),
    led(0x39, 0, 1), led(0x36, 0, 1), led(0x3A, 0, 0)};
const Frame kChannelOnLast = led(0x3A, 0, 1);
// The keypad's channel-function-off sequence, and the frame that makes it
// the longer all-off sequence.
const std::vector<Frame> kKeypadChannelOff = {led(0x04, 0, 4), led(0x0D, 0, 0), led(0x0B, 0, 0),
                                              led(0x0A, 0, 0)};
const Frame kKeypadAllOffLast = led(0x09, 0, 0);

struct Case {
    const char *what;
    int board_type;
    sim::PanelController::LedWaits waits;
    const std::vector<Frame> *head;
    sim::Time gap;            // before the last frame; -1: never sent
    sim::Time then;           // quiet time after it, before the port closes
    const char *before_close; // what was judged before the port closed
    const char *after_close;
};

TEST(PanelLedWaits, SequencesAreJudgedAfterTheirWaitsOrAtTheClose) {
    const sim::PanelController::LedWaits real{};
    const sim::PanelController::LedWaits bed{2000 * kMs, 6000 * kMs};
    const Case cases[] = {
        {"the real panel: the last frame just inside its 1.5 s", 1, real, &kChannelOnHead,
         1499 * kMs, 0, "led_mode LED_CHANNEL_FUNC_ON; ", ""},
        {"the real panel: just past its 1.5 s the sequence is unfinished", 1, real, &kChannelOnHead,
         1501 * kMs, 0, "led_incomplete; led_stray; ", ""},
        {"the bed: 1.88 s late still completes it", 1, bed, &kChannelOnHead, 1880 * kMs, 0,
         "led_mode LED_CHANNEL_FUNC_ON; ", ""},
        {"the bed: a sequence stopped half way is unfinished after 6 s", 1, bed, &kChannelOnHead,
         -1, 6000 * kMs, "led_incomplete; ", ""},
        {"the bed: and not before", 1, bed, &kChannelOnHead, -1, 5999 * kMs, "",
         "led_incomplete; "},
        {"the real panel: a complete sequence counts after 100 ms quiet", 2, real,
         &kKeypadChannelOff, 100 * kMs, 0, "led_mode LED_CHANNEL_FUNC_OFF; led_stray; ", ""},
        {"the real panel: a frame within them makes it the longer one", 2, real, &kKeypadChannelOff,
         99 * kMs, 0, "led_mode LED_ALL_OFF; ", ""},
        {"the bed: a frame 1.5 s late still makes it the longer one", 2, bed, &kKeypadChannelOff,
         1500 * kMs, 0, "led_mode LED_ALL_OFF; ", ""},
        {"the bed: a complete sequence counts after 2 s quiet", 2, bed, &kKeypadChannelOff, -1,
         2000 * kMs, "led_mode LED_CHANNEL_FUNC_OFF; ", ""},
    };
    for (const Case &c : cases) {
        StepHost host(c.board_type);
        sim::PanelController panel(host, host.scenario().section("panel"), c.waits);
        sim::OpenFile port;
        panel.open(port);
        for (const Frame &f : *c.head) {
            if (&f != &c.head->front())
                host.advance(10 * kMs);
            panel.write(port, f.data(), f.size());
        }
        if (c.gap >= 0) {
            host.advance(c.gap);
            const Frame &last = c.board_type == 1 ? kChannelOnLast : kKeypadAllOffLast;
            panel.write(port, last.data(), last.size());
        }
        host.advance(c.then);
        EXPECT_EQ(host.events, c.before_close) << c.what;
        host.events.clear();
        panel.close(port);
        EXPECT_EQ(host.events, c.after_close) << c.what;
    }
}

} // namespace
