// What the peripheral routines hand their callers, which the program
// ignores (the verdicts travel in the test result record), and the alarm
// driver requests that no transcript shows.
#include "board/boardinfo.h"
#include "platform/sys.h"
#include "datarows.h"
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sys/socket.h>
#include <vector>

namespace {

int alarm() {
    boardsettings();
    return alarmtest();
}

int socket() {
    return sys::socket(AF_INET, SOCK_DGRAM, 0);
}

// The routines the rows of qa/data/peripheral-results.json name.
const std::map<std::string, std::function<int()>> routines = {
    {"rs485test", rs485test},
    {"alarmtest", alarm},
    {"rtctest", rtctest},
    {"usbtest", usbtest},
    {"nettest", nettest},
    {"linkstate eth9", [] { return linkstate(socket(), "eth9"); }},
    {"linkspeed eth0", [] { return linkspeed(socket(), "eth0"); }},
};

class Routine : public testing::TestWithParam<qa::DataRow> {};

TEST_P(Routine, ReturnsWhatItsInterfaceSays) {
    const qa::DataRow &row = GetParam();
    int got = 0;
    qa::SimRun r = qa::run_routine(row["scenario"].dump(), [&] {
        got = routines.at(row["routine"])();
        return 0;
    });
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(got, row["returns"]);
}

INSTANTIATE_TEST_SUITE_P(Peripheral, Routine,
                         testing::ValuesIn(qa::data_rows("peripheral-results.json")),
                         qa::data_row_name);

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
