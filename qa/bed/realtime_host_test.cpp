// The bed's real-time carrier of the models: a peer moves the events of a
// script it timed from a guessed moment, and only those.
#include "sim/bed/realtime_host.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr sim::Time kSecond = 1000 * 1000;
constexpr sim::Time kHour = 3600 * kSecond;

class Host : public bed::RealTimeHost {
  public:
    Host() : RealTimeHost(sim::Scenario{}) {}
    void trace(const std::string &, const std::string &, nlohmann::json) override {}
};

TEST(RealTimeHost, MovesTheMarkedEventsOnlyKeepingTheirOrder) {
    Host host;
    std::string ran;
    host.after(kHour, [&] { ran += "reply "; }); // set before the script
    host.mark(true);
    host.after(kHour + 2 * kSecond, [&] { ran += "second "; });
    host.after(kHour + kSecond, [&] { ran += "first "; });
    host.mark(false);
    host.after(kHour, [&] { ran += "later "; }); // set after it

    // Nothing is due an hour early, whatever was marked.
    EXPECT_GT(host.run_due(), 0);
    EXPECT_EQ(ran, "");

    // Moved back past its times, the script is due now, in its own order;
    // the events set around it stay where they were.
    host.shift_marked(-kHour - 3 * kSecond);
    int wait_ms = host.run_due();
    EXPECT_EQ(ran, "first second ");
    EXPECT_GT(wait_ms, 3500 * 1000);

    // A second move finds nothing marked left.
    host.shift_marked(-kHour);
    host.run_due();
    EXPECT_EQ(ran, "first second ");
}

TEST(RealTimeHost, MovesTheScriptLaterToo) {
    Host host;
    bool ran = false;
    host.mark(true);
    host.after(0, [&] { ran = true; });
    host.mark(false);
    host.shift_marked(kHour);
    EXPECT_GT(host.run_due(), 3500 * 1000);
    EXPECT_FALSE(ran);
}

} // namespace
