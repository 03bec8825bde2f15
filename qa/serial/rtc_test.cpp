// The RTC test against the simulated clock chip. The board's system clock
// starts at 2012-05-23 08:07:09 UTC.
#include "serial_util.h"

#include "driver/result.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

using serialqa::beeps;
using serialqa::occurrences;
using serialqa::write_containing;

namespace {

qa::SimRun rtc(const std::string &scenario) {
    return qa::run_routine(scenario, [] { return rtctest(); });
}

std::string reading(const char *label, int hour, int minute, int second) {
    char line[80];
    snprintf(line, sizeof line, "%s2012 -  5 - 23  %2d:%2d:%2d \n", label, hour, minute, second);
    return line;
}

} // namespace

TEST(Rtc, PrintsBothClocksThreeTimesOneSecondApart) {
    qa::SimRun r = rtc("{}");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(r.out(), "时钟时间 2012 -  5 - 23   8: 7: 9 \n"
                       "系统时间 2012 -  5 - 23   8: 7: 9 \n"
                       "时钟时间 2012 -  5 - 23   8: 7:10 \n"
                       "系统时间 2012 -  5 - 23   8: 7:10 \n"
                       "时钟时间 2012 -  5 - 23   8: 7:11 \n"
                       "系统时间 2012 -  5 - 23   8: 7:11 \n");
    EXPECT_EQ(r.result.code, 0);
    EXPECT_EQ(rtcError, 0);
    EXPECT_EQ(r.kernel->now(), 3 * sim::kSecond);
    // Opened read-only for each reading and closed right after.
    auto opens = r.events("rtc", "open");
    ASSERT_EQ(opens.size(), 3u);
    for (const auto &o : opens)
        EXPECT_EQ(o.data["read_only"], true);
    EXPECT_EQ(r.events("rtc", "close").size(), 3u);
}

struct Apart {
    const char *name;
    std::string scenario;
    bool fails;
};

class RtcApart : public testing::TestWithParam<Apart> {};

TEST_P(RtcApart, ToleratesTwoSecondsEitherWay) {
    const Apart &c = GetParam();
    qa::SimRun r = rtc(c.scenario);
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(r.result.code, c.fails ? 1 : 0) << r.out();
    EXPECT_EQ(rtcError, c.fails ? 1 : 0);
    // Each of the three comparisons that fails beeps twice.
    EXPECT_EQ(beeps(r), c.fails ? 6u : 0u);
    EXPECT_EQ(occurrences(r.out(), "时钟时间 "), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, RtcApart,
    testing::Values(Apart{"TwoAhead", R"({"rtc": {"offset": 2}})", false},
                    Apart{"TwoBehind", R"({"rtc": {"offset": -2}})", false},
                    Apart{"ThreeAhead", R"({"rtc": {"offset": 3}})", true},
                    Apart{"ThreeBehind", R"({"rtc": {"offset": -3}})", true},
                    // A UTC chip on a board in another zone: the zone cancels.
                    Apart{"UtcChipEastOfGreenwich", R"({"system": {"zone_offset": 28800}})", false},
                    Apart{"UtcChipWestOfGreenwich",
                          R"({"system": {"zone_offset": -18000}, "rtc": {"offset": -2}})", false},
                    // A chip kept in local time is off by the zone.
                    Apart{"LocalTimeChip",
                          R"({"system": {"zone_offset": 28800}, "rtc": {"local_time": true}})",
                          true},
                    Apart{"LocalTimeChipInUtc", R"({"rtc": {"local_time": true}})", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Rtc, LocalTimeChipShowsTheZoneOffset) {
    qa::SimRun r = rtc(R"({"system": {"zone_offset": 28800}, "rtc": {"local_time": true}})");
    EXPECT_EQ(occurrences(r.out(), reading("时钟时间 ", 16, 7, 9) + reading("系统时间 ", 8, 7, 9)),
              1u)
        << r.out();
}

class RtcUnreadable : public testing::TestWithParam<const char *> {};

TEST_P(RtcUnreadable, PrintsTheZeroReadingAndFails) {
    qa::SimRun r = rtc(GetParam());
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), "时钟时间 1900 -  1 -  0   0: 0: 0 \n"), 3u) << r.out();
    EXPECT_EQ(occurrences(r.out(), reading("系统时间 ", 8, 7, 10)), 1u);
    EXPECT_EQ(r.result.code, 1);
    EXPECT_EQ(rtcError, 1);
    EXPECT_EQ(beeps(r), 6u);
}

INSTANTIATE_TEST_SUITE_P(Chip, RtcUnreadable,
                         testing::Values(R"({"rtc": {"missing": true}})",
                                         R"({"rtc": {"open_error": "EBUSY"}})",
                                         R"({"rtc": {"read_error": "EIO"}})"));

TEST(Rtc, OneFailedComparisonBeepsOnceAndTheOthersStillRun) {
    // Only the second reading fails.
    qa::SimRun r = rtc(R"({"faults": [{"call": "ioctl", "path": "/dev/rtc", "nth": 2}]})");
    EXPECT_EQ(r.out(), "时钟时间 2012 -  5 - 23   8: 7: 9 \n"
                       "系统时间 2012 -  5 - 23   8: 7: 9 \n"
                       "时钟时间 1900 -  1 -  0   0: 0: 0 \n"
                       "系统时间 2012 -  5 - 23   8: 7:10 \n"
                       "时钟时间 2012 -  5 - 23   8: 7:11 \n"
                       "系统时间 2012 -  5 - 23   8: 7:11 \n");
    EXPECT_EQ(r.result.code, 1);
    EXPECT_EQ(rtcError, 1);
    EXPECT_EQ(beeps(r), 2u);
    // The beeps come right after the failed comparison, before its pause.
    auto on = r.events("vexio", "buzzer_on");
    ASSERT_EQ(on.size(), 2u);
    EXPECT_EQ(on[0].t, sim::kSecond);
}

TEST(Rtc, InterruptPrintsZeroCountsAndEndsTheProgram) {
    qa::SimRun r = rtc(R"({"signals": [{"at": 1.5, "signal": "SIGINT"}]})");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled);
    EXPECT_EQ(r.result.code, SIGINT);
    const std::string line = "read rtc successfully 0 times : failed 0 times\n";
    EXPECT_EQ(write_containing(r, "read rtc"), line);
    ASSERT_FALSE(r.kernel->console().empty());
    EXPECT_EQ(r.kernel->console().back().bytes, line);
    EXPECT_EQ(occurrences(r.out(), "时钟时间 "), 2u);
}

TEST(Rtc, SingleTestSixPasses) {
    qa::SimRun r = qa::run_ftq("{}", {"-o", "6"});
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), "时钟时间 "), 3u) << r.out();
    EXPECT_EQ(rtcError, 0);
}
