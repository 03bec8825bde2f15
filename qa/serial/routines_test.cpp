// What the peripheral routines hand their callers, which the program
// ignores (the verdicts travel in the test result record), and the alarm
// driver requests that no transcript shows.
#include "board/boardinfo.h"
#include "platform/sys.h"
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/socket.h>
#include <vector>

namespace {

struct Result {
    const char *name;
    const char *scenario;
    std::function<int()> routine;
    int expected;
};
void PrintTo(const Result &c, std::ostream *os) {
    *os << c.name;
}

int alarm() {
    boardsettings();
    return alarmtest();
}

int socket() {
    return sys::socket(AF_INET, SOCK_DGRAM, 0);
}

class Routine : public testing::TestWithParam<Result> {};

TEST_P(Routine, ReturnsWhatItsInterfaceSays) {
    const Result &c = GetParam();
    int got = 0;
    qa::SimRun r = qa::run_routine(c.scenario, [&] {
        got = c.routine();
        return 0;
    });
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Peripheral, Routine,
    testing::Values(
        Result{"Rs485Failing", R"({"rs485": {"fixture": "disconnected"}})", rs485test, 0},
        Result{"AlarmPassing", "{}", alarm, 0},
        Result{"AlarmCountsFailedChecks", R"({"alarm": {"connected": false}})", alarm, 4},
        Result{"AlarmWithoutItsDriver",
               R"({"faults": [{"call": "open", "path": "/dev/vexio", "nth": 2}]})", alarm, -1},
        Result{"RtcPassing", "{}", rtctest, 0},
        Result{"RtcFailing", R"({"rtc": {"offset": 3}})", rtctest, 1},
        Result{"UsbCounting", "{}", usbtest, 0},
        Result{"UsbWithoutDev",
               R"({"faults": [{"call": "opendir", "path": "/dev", "errno": "EACCES"}]})", usbtest,
               0},
        Result{"NetPassing", "{}", nettest, 0},
        Result{"NetWithoutSocket", R"({"net": {"socket": "fails"}})", nettest, -1},
        Result{"LinkQueryFails", "{}", [] { return linkstate(socket(), "eth9"); }, 2},
        Result{"SettingsQueryFails", R"({"net": {"eth0": {"gset_fails": true}}})",
               [] { return linkspeed(socket(), "eth0"); }, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Alarm, SetsUpTheOutputsThenDrivesEachInTurnFromAllOff) {
    qa::SimRun r = qa::run_routine("{}", alarm);
    auto setup = r.events("vexio", "alarm_setup");
    ASSERT_EQ(setup.size(), 1u);
    EXPECT_EQ(setup[0].data["value"], 0);
    std::vector<uint32_t> masks;
    for (const auto &e : r.events("vexio", "alarm_outputs"))
        masks.push_back(e.data["mask"]);
    EXPECT_EQ(masks, (std::vector<uint32_t>{0, 1, 2, 4, 8}));
}

} // namespace
