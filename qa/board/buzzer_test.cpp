// Buzzer signals and the watchdog restart, in virtual time.
#include "board/buzzer.h"
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

struct Req {
    unsigned long request;
    uint64_t arg;
};

TEST(Buzzer, ThreeBeepsTakeOnePointTwoSecondsAndAlternateTheTone) {
    qa::SimRun r = qa::run_on_board("{}", [](sim::Kernel &) {
        beep(3);
        return 0;
    });
    EXPECT_DOUBLE_EQ(qa::secs(r.kernel->now()), 1.2);
    EXPECT_EQ(r.events("vexio", "buzzer_setup").size(), 1u);
    auto on = r.events("vexio", "buzzer_on");
    auto off = r.events("vexio", "buzzer_off");
    ASSERT_EQ(on.size(), 3u);
    ASSERT_EQ(off.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(on[i].t, i * 400 * sim::kMillisecond);
        EXPECT_EQ(off[i].t, i * 400 * sim::kMillisecond + 200 * sim::kMillisecond);
    }
}

TEST(Buzzer, NoBeepForACountBelowOne) {
    for (int count : {0, -3}) {
        qa::SimRun r = qa::run_routine("{}", [count] {
            beep(count);
            return 0;
        });
        EXPECT_TRUE(r.trace().of("vexio").empty());
        EXPECT_EQ(r.kernel->now(), 0);
    }
}

TEST(Buzzer, TheErrorToneLastsFiveSecondsAndEndsOff) {
    qa::SimRun r = qa::run_routine("{}", [] { return errorbeep(); });
    EXPECT_DOUBLE_EQ(qa::secs(r.kernel->now()), 5.2);
    auto off = r.events("vexio", "buzzer_off");
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].data["ms"].get<int>(), 5000);
    EXPECT_EQ(r.events("vexio", "buzzer_on").size(), 1u);
}

TEST(Buzzer, WithoutTheDriverItSaysSoAndMakesNoSound) {
    qa::SimRun r = qa::run_routine(R"({"board": {"missing": true}})", [] {
        beep(2);
        errorbeep();
        return buzzertest();
    });
    EXPECT_EQ(r.out(), "open hwInfo error!\nopen hwInfo error!\nopen hwInfo error!\n");
    EXPECT_EQ(r.kernel->now(), 0);
}

TEST(Watchdog, ArmsWithFiveAndReportsAMissingDevice) {
    qa::SimRun ok = qa::run_routine("{}", [] { return watchdogtest(); });
    auto armed = ok.events("vexio", "watchdog_armed");
    ASSERT_EQ(armed.size(), 1u);
    EXPECT_EQ(armed[0].data["value"].get<int>(), 5);
    EXPECT_EQ(ok.out(), "");

    qa::SimRun missing = qa::run_routine(R"({"board": {"missing": true}})",
                                         [] { return watchdogtest(); });
    EXPECT_EQ(missing.out(), "failed to open watchdog\nset watchdog timeout failed\n");

    qa::SimRun refused = qa::run_routine(R"({"board": {"watchdog_fails": true}})",
                                         [] { return watchdogtest(); });
    EXPECT_EQ(refused.out(), "set watchdog timeout failed\n");
}

TEST(ChipReset, PrintsItsLineAndPulsesTheMask) {
    qa::SimRun r = qa::run_routine("{}", [] { return resetjmb321(0x80); });
    EXPECT_EQ(r.out(), "update the firmware success, now reset the jmb321!\r\n");
    auto reset = r.events("vexio", "pmp_reset");
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0].data["mask"].get<int>(), 0x80);
}

} // namespace
