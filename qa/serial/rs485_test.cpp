// The RS-485 loop test on the simulated board: the sender in process 1, the
// receiver in the child it starts, the verdict through the child's exit
// status.
#include "serial_util.h"

#include "driver/result.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

using serialqa::beeps;
using serialqa::first_event_at;
using serialqa::occurrences;
using serialqa::status_of;
using serialqa::written_at;

namespace {

constexpr sim::Time kSecond = sim::kSecond;
// 1024 bytes of 10 bits at 9600 baud.
constexpr sim::Time kPatternOnWire = 1024 * 10 * kSecond / 9600;

const char *const kPassedLine = "正确:    1024字节  \n错误:    0字节 \n";
const char *const kWriteTimeout = "no more data can write in 5 seconds,exit \n";

// rs485test as the whole of process 1; the exit status is rs485Error after it.
qa::SimRun rs485(const std::string &scenario, int32_t before = 0) {
    return qa::run_routine(scenario, [before] {
        rs485Error = before;
        rs485test();
        return static_cast<int>(rs485Error);
    });
}

std::string gaveup(int correct, int wrong) {
    return "发送  " + std::to_string(correct) + "字节成功\n    " + std::to_string(wrong) +
           "字节失败 \n";
}

sim::Time spawned_at(const qa::SimRun &r) {
    return first_event_at(r, "kernel", "spawn");
}

} // namespace

TEST(Rs485, PerfectFixturePassesAsSoonAsTheCountIsReached) {
    qa::SimRun r = rs485("{}");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(r.result.code, 0); // rs485Error stays 0
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u) << r.out();
    EXPECT_EQ(occurrences(r.out(), "发送"), 0u);
    EXPECT_EQ(beeps(r), 0u);

    // The whole pattern goes out in one write and is counted the moment its
    // last byte is back, 1024 byte times later.
    auto writes = r.events("rs485", "write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data["accepted"], 1024);
    EXPECT_EQ(written_at(r, kPassedLine), writes[0].t + kPatternOnWire);

    // The receiver is process 2 and ends with the verdict "passed".
    EXPECT_EQ(status_of(r, 2), 0);
    // The sender sleeps its 6 s after sending, then reaps the receiver.
    EXPECT_EQ(r.kernel->now(), writes[0].t + 6 * kSecond);
}

TEST(Rs485, PortIsSetUpBeforeAnyByteIsSent) {
    qa::SimRun r = rs485(R"({"rs485": {"stale": "01 02 03 04"}})");
    auto open = r.events("rs485", "open");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].data["nonblock"], true);
    EXPECT_EQ(open[0].data["noctty"], true);
    EXPECT_EQ(open[0].data["rdwr"], true);

    auto tio = r.events("rs485", "tcsetattr");
    ASSERT_EQ(tio.size(), 1u);
    EXPECT_EQ(tio[0].data["now"], true);
    EXPECT_EQ(tio[0].data["speed"], 9600);
    EXPECT_EQ(tio[0].data["in_speed_matches"], true);
    EXPECT_EQ(tio[0].data["cs8"], true);
    EXPECT_EQ(tio[0].data["parity"], false);
    EXPECT_EQ(tio[0].data["two_stop_bits"], false);
    EXPECT_EQ(tio[0].data["clocal_cread"], true);
    EXPECT_EQ(tio[0].data["raw"], true);

    // Line control first, then 100 ms, then the stale input is thrown away
    // so that it never reaches the comparison.
    sim::Time tx = first_event_at(r, "vexio", "rs485_tx_enable");
    sim::Time rx = first_event_at(r, "vexio", "rs485_rx_enable");
    ASSERT_GE(tx, 0);
    ASSERT_GE(rx, tx);
    auto reads = r.events("rs485", "read");
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads[0].t, rx + 100 * sim::kMillisecond);
    EXPECT_EQ(reads[0].data["requested"], 512);
    EXPECT_EQ(reads[0].data["returned"], 4);
    EXPECT_LE(reads[0].t, spawned_at(r));
    EXPECT_GT(first_event_at(r, "rs485", "write"), rx);
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u) << r.out();
}

TEST(Rs485, PartialWritesContinueFromTheSendOffset) {
    qa::SimRun r = rs485(R"({"rs485": {"accept_per_write": 300}})");
    auto writes = r.events("rs485", "write");
    ASSERT_EQ(writes.size(), 4u);
    const int requested[] = {1024, 724, 424, 124};
    const int accepted[] = {300, 300, 300, 124};
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].data["requested"], requested[i]) << i;
        EXPECT_EQ(writes[i].data["accepted"], accepted[i]) << i;
    }
    // Every byte arrives where the receiver expects it.
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u) << r.out();
    EXPECT_EQ(r.result.code, 0);
}

// A fixture that spoils the loop: the receiver counts on until its 5 s are
// spent, reports, beeps twice and returns the failed verdict.
struct Spoiled {
    const char *name;
    std::string scenario;
    int correct;
    int wrong;
};
void PrintTo(const Spoiled &c, std::ostream *os) {
    *os << c.name;
}

class Rs485Spoiled : public testing::TestWithParam<Spoiled> {};

TEST_P(Rs485Spoiled, FailsOnTheTimeOut) {
    const Spoiled &c = GetParam();
    qa::SimRun r = rs485(c.scenario);
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    std::string line = gaveup(c.correct, c.wrong);
    EXPECT_EQ(occurrences(r.out(), line), 1u) << r.out();
    EXPECT_EQ(occurrences(r.out(), "正确:"), 0u);
    // The receiver's waits share one 5 s bound, counted from its start.
    EXPECT_EQ(written_at(r, line), spawned_at(r) + 5 * kSecond);
    EXPECT_EQ(beeps(r), 2u);
    EXPECT_EQ(WEXITSTATUS(status_of(r, 2)), 1);
    EXPECT_EQ(r.result.code, 1); // rs485Error set from the exit status
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, Rs485Spoiled,
    testing::Values(
        // After the lost byte every later byte is compared one place off.
        Spoiled{"LostByte", R"({"rs485": {"lose_byte": 500}})", 500, 523},
        Spoiled{"LostFirstByte", R"({"rs485": {"lose_byte": 0}})", 0, 1023},
        Spoiled{"CorruptedByte", R"({"rs485": {"corrupt_byte": 1000}})", 1023, 1},
        // The extra byte pushes the rest one place on, around the wrap.
        Spoiled{"ExtraByte", R"({"rs485": {"extra_byte_after": 99}})", 100, 925},
        // Stale input beyond the 512 bytes thrown away reaches the count.
        Spoiled{"TooMuchStaleInput",
                R"({"rs485": {"stale": ")" + std::string(600 * 2, 'F') + R"("}})", 0, 1112}),
    [](const auto &info) { return std::string(info.param.name); });

// Nothing comes back: both counts 0, two beeps, and the test fails: a line
// that carried nothing checked nothing.
struct Silent {
    const char *name;
    const char *scenario;
    int32_t before;
};
void PrintTo(const Silent &c, std::ostream *os) {
    *os << c.name;
}

class Rs485Silent : public testing::TestWithParam<Silent> {};

TEST_P(Rs485Silent, ReportsZeroAndFails) {
    const Silent &c = GetParam();
    qa::SimRun r = rs485(c.scenario, c.before);
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), gaveup(0, 0)), 1u) << r.out();
    EXPECT_EQ(written_at(r, gaveup(0, 0)), spawned_at(r) + 5 * kSecond);
    EXPECT_EQ(r.result.code, 1);
    EXPECT_EQ(status_of(r, 2), 1 << 8);
    EXPECT_EQ(beeps(r), 2u);
    EXPECT_EQ(r.events("rs485", "read").size(), 0u) << "nothing ever arrived";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Rs485Silent,
    testing::Values(Silent{"Disconnected", R"({"rs485": {"fixture": "disconnected"}})", 0},
                    Silent{"DisconnectedAfterAFailure", R"({"rs485": {"fixture": "disconnected"}})",
                           1},
                    // Without request 7 the line is not driven, without
                    // request 8 it is not heard.
                    Silent{"LineNotDriven", R"({"faults": [{"call": "ioctl", "path": "/dev/vexio",
                                                            "request": 7}]})",
                           0},
                    Silent{"LineNotHeard", R"({"faults": [{"call": "ioctl", "path": "/dev/vexio",
                                                           "request": 8}]})",
                           0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Rs485, NeverWritablePortStillGetsTheReceiversVerdict) {
    // A byte of line noise is all the receiver ever sees.
    qa::SimRun r =
        rs485(R"({"rs485": {"never_writable": true, "noise": [{"at": 1.0, "bytes": "55"}]}})");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    sim::Time start = spawned_at(r);
    EXPECT_EQ(r.events("rs485", "write").size(), 0u);
    EXPECT_EQ(occurrences(r.out(), kWriteTimeout), 1u) << r.out();
    EXPECT_EQ(written_at(r, kWriteTimeout), start + 5 * kSecond);
    EXPECT_EQ(occurrences(r.out(), gaveup(0, 1)), 1u) << r.out();
    // The sender skips its 6 s sleep but still waits for the failed verdict,
    // which its receiver gives after its own 5 s and two beeps.
    EXPECT_EQ(WEXITSTATUS(status_of(r, 2)), 1);
    EXPECT_EQ(r.result.code, 1);
    EXPECT_GE(r.kernel->now(), start + 5 * kSecond + 800 * sim::kMillisecond);
    EXPECT_LT(r.kernel->now(), start + 6 * kSecond);
}

TEST(Rs485, OneFiveSecondBoundServesAllWaitsOfALoop) {
    // 100 bytes per write, then 1.5 s before the port takes more: the
    // sender's waits add up to 5 s after four writes.
    qa::SimRun r = rs485(R"({"rs485": {"accept_per_write": 100, "busy_after_write": 1.5}})");
    auto writes = r.events("rs485", "write");
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(written_at(r, kWriteTimeout), writes[0].t + 5 * kSecond);
    // The receiver's bound is shared the same way: it gives up 5 s after
    // its start although bytes kept arriving until 4.6 s.
    EXPECT_EQ(written_at(r, gaveup(400, 0)), spawned_at(r) + 5 * kSecond) << r.out();
    EXPECT_EQ(r.result.code, 1);
}

TEST(Rs485, InterruptEndsTheSenderAndOnlyCutsTheReceiversWait) {
    qa::SimRun r = rs485(R"({"signals": [{"at": 0.5, "signal": "SIGINT"}]})");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled);
    EXPECT_EQ(r.result.code, SIGINT);
    EXPECT_EQ(occurrences(r.out(), "read select(): Interrupted system call\n"), 1u) << r.out();
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u) << r.out();
    EXPECT_EQ(status_of(r, 2), 0);
}

TEST(Rs485, SelectThatKeepsFailingRestsUntilTheBoundRunsOut) {
    qa::SimRun r = rs485(
        R"({"faults": [{"call": "select", "path": "/dev/ttyS1", "every": true, "errno": "EBADF"}]})");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    // Each side rests 100 ms after each failure, 5 s in all.
    EXPECT_EQ(occurrences(r.out(), "read select(): Bad file descriptor\n"), 50u) << r.out();
    EXPECT_EQ(occurrences(r.out(), "select(): Bad file descriptor\n"), 100u);
    EXPECT_EQ(written_at(r, kWriteTimeout), spawned_at(r) + 5 * kSecond);
    EXPECT_EQ(written_at(r, gaveup(0, 0)), spawned_at(r) + 5 * kSecond);
    EXPECT_EQ(r.result.code, 1);
}

TEST(Rs485, InterruptedSelectIsWaitedAgain) {
    qa::SimRun r = rs485(R"({"faults": [{"call": "select", "path": "/dev/ttyS1",
                                         "mode": "interrupt", "nth": 1}]})");
    EXPECT_EQ(occurrences(r.out(), "select(): Interrupted system call\n"), 1u) << r.out();
    EXPECT_EQ(occurrences(r.out(), kWriteTimeout), 0u);
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u);
    EXPECT_EQ(r.result.code, 0);
}

TEST(Rs485, HungUpPortEndsBothSidesOnTheirBoundsAndFails) {
    qa::SimRun r = rs485(R"({"rs485": {"accept_per_write": 100, "busy_after_write": 0.3,
                                        "hangup_at": 0.5}})");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(written_at(r, kWriteTimeout), spawned_at(r) + 5 * kSecond) << r.out();
    EXPECT_EQ(occurrences(r.out(), "字节成功\n"), 1u);
    EXPECT_EQ(status_of(r, 2), 1 << 8);
    EXPECT_EQ(r.result.code, 1);
}

TEST(Rs485, ReceiverThatCannotStartFailsTheTest) {
    qa::SimRun r = rs485(R"({"faults": [{"call": "spawn", "errno": "EAGAIN"}]})");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), "fork: Resource temporarily unavailable\n"), 1u) << r.out();
    // The pattern still goes out, nothing is received or printed.
    EXPECT_EQ(r.events("rs485", "write").size(), 1u);
    EXPECT_EQ(occurrences(r.out(), "字节"), 0u);
    EXPECT_EQ(r.kernel->process_statuses().size(), 1u);
    EXPECT_EQ(r.result.code, 1);
}

TEST(Rs485, ReceiverThatNeverEndsDoesNotHoldTheRunForever) {
    // The receiver's beep hangs in the driver; the sender gives up on it.
    qa::SimRun r = rs485(R"({"rs485": {"fixture": "disconnected"},
        "faults": [{"call": "ioctl", "path": "/dev/vexio", "request": 3, "mode": "hang"}]})");
    EXPECT_EQ(status_of(r, 1), 1 << 8);  // process 1 returned rs485Error 1
    EXPECT_EQ(status_of(r, 2), SIGKILL); // left behind until the board stopped
    EXPECT_EQ(occurrences(r.out(), "485 receiver gave no verdict\n"), 1u) << r.out();
    auto ends = r.events("kernel", "process_end");
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends[0].data["pid"], 1);
    EXPECT_LE(ends[0].t, spawned_at(r) + 17 * kSecond);
}

struct SetupFailure {
    const char *name;
    const char *scenario;
    const char *line;
};
void PrintTo(const SetupFailure &c, std::ostream *os) {
    *os << c.name;
}

class Rs485Setup : public testing::TestWithParam<SetupFailure> {};

TEST_P(Rs485Setup, EndsTheProgramWithStatus255) {
    const SetupFailure &c = GetParam();
    qa::SimRun r = rs485(c.scenario);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 255);
    EXPECT_EQ(r.out(), c.line);
    EXPECT_EQ(r.kernel->process_statuses().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Port, Rs485Setup,
                         testing::Values(SetupFailure{"Missing", R"({"rs485": {"missing": true}})",
                                                      "open /dev/ttyS1 failed\n"},
                                         SetupFailure{"SettingsRefused",
                                                      R"({"rs485": {"tcsetattr_error": "EIO"}})",
                                                      "tcsetattr failed\n"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Rs485, SingleTestFourWaitsTenSecondsFirst) {
    qa::SimRun r = qa::run_ftq("{}", {"-o", "4"});
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), kPassedLine), 1u) << r.out();
    sim::Time opened = first_event_at(r, "rs485", "open");
    sim::Time settings = -1;
    for (const auto &e : r.events("vexio", "board_info"))
        if (e.t <= opened)
            settings = e.t;
    ASSERT_GE(settings, 0);
    // The board settings read, their 100 ms pause, then the 10 s wait.
    EXPECT_GE(opened - settings, 10 * kSecond);
    EXPECT_LT(opened - settings, 10 * kSecond + 200 * sim::kMillisecond);
    EXPECT_EQ(rs485Error, 0);
}
