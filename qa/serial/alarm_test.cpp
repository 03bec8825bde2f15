// The alarm I/O test against the alarm fixture of the simulated board.
#include "serial_util.h"

#include "board/boardinfo.h"
#include "driver/result.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

using serialqa::beeps;
using serialqa::first_event_at;
using serialqa::occurrences;
using serialqa::write_containing;

namespace {

constexpr sim::Time kSecond = sim::kSecond;

// The board settings as start-up leaves them, then the test; the exit
// status is its result (255 for -1), alarmError is read after the run.
qa::SimRun alarm(const std::string &scenario) {
    return qa::run_routine(scenario, [] {
        boardsettings();
        return alarmtest();
    });
}

const char *const kTwoOutputs = R"("board": {"info": {"alarmOutCode": 1, "alarmInCode": 1}})";

std::string with_two(const std::string &more = "") {
    return "{" + std::string(kTwoOutputs) + (more.empty() ? "" : ", " + more) + "}";
}

std::vector<uint32_t> masks_written(const qa::SimRun &r) {
    std::vector<uint32_t> out;
    for (const auto &e : r.events("vexio", "alarm_outputs"))
        out.push_back(e.data["mask"].get<uint32_t>());
    return out;
}

} // namespace

struct AlarmCase {
    const char *name;
    std::string scenario;
    std::string messages; // everything the test prints
    int errors;           // its result
    size_t beeps;
    int32_t alarm_error = 1;
};
void PrintTo(const AlarmCase &c, std::ostream *os) {
    *os << c.name;
}

class Alarm : public testing::TestWithParam<AlarmCase> {};

TEST_P(Alarm, PrintsCountsAndBeepsAsTheFixtureAnswers) {
    const AlarmCase &c = GetParam();
    qa::SimRun r = alarm(c.scenario);
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(r.out(), c.messages);
    EXPECT_EQ(r.result.code, c.errors);
    EXPECT_EQ(alarmError, c.alarm_error);
    EXPECT_EQ(beeps(r), c.beeps);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, Alarm,
    testing::Values(
        AlarmCase{"FourOutputs", "{}", "成功 5, 失败 0\n", 0, 0, 0},
        AlarmCase{"TwoOutputs", with_two(), "成功 3, 失败 0\n", 0, 0, 0},
        // Every check with an output on fails and beeps twice; all-off passes.
        AlarmCase{"NotConnected", R"({"alarm": {"connected": false}})",
                  "\n 报警输出为 1, 报警输入为 0 ，报警输入应为 1111\n"
                  "\n 报警输出为 2, 报警输入为 0 ，报警输入应为 2222\n"
                  "\n 报警输出为 4, 报警输入为 0 ，报警输入应为 4444\n"
                  "\n 报警输出为 8, 报警输入为 0 ，报警输入应为 8888\n"
                  "成功 1, 失败 4\n",
                  4, 8},
        AlarmCase{"NotConnectedTwoOutputs", with_two(R"("alarm": {"connected": false})"),
                  "\n 报警输出为 1, 报警输入为 0 ，报警输入应为 5\n"
                  "\n 报警输出为 2, 报警输入为 0 ，报警输入应为 a\n"
                  "成功 1, 失败 2\n",
                  2, 4},
        // Input 3 stuck: the all-off check fails without a beep; it spoils
        // the checks of the outputs that do not drive input 3 as well.
        AlarmCase{"StuckInput", R"({"alarm": {"stuck_active": 4}})",
                  "\n 断开报警输出时, 报警输入为 4 ，报警输入应为 0\n"
                  "\n 报警输出为 1, 报警输入为 1115 ，报警输入应为 1111\n"
                  "\n 报警输出为 2, 报警输入为 2226 ，报警输入应为 2222\n"
                  "\n 报警输出为 8, 报警输入为 888c ，报警输入应为 8888\n"
                  "成功 1, 失败 4\n",
                  4, 6},
        AlarmCase{"MiswiredOutput",
                  R"({"alarm": {"miswire": [{"output": 2, "inputs": [2, 6, 10, 13]}]}})",
                  "\n 报警输出为 2, 报警输入为 1222 ，报警输入应为 2222\n"
                  "成功 4, 失败 1\n",
                  1, 2},
        // A failed read is a failed check, the all-off one included.
        AlarmCase{"InputReadFails", R"({"alarm": {"read_error": "EIO"}})",
                  "IOCTL ERROR\n"
                  "IOCTL ERROR\n\n 报警输出为 1, 报警输入为 0 ，报警输入应为 1111\n"
                  "IOCTL ERROR\n\n 报警输出为 2, 报警输入为 0 ，报警输入应为 2222\n"
                  "IOCTL ERROR\n\n 报警输出为 4, 报警输入为 0 ，报警输入应为 4444\n"
                  "IOCTL ERROR\n\n 报警输出为 8, 报警输入为 0 ，报警输入应为 8888\n"
                  "成功 0, 失败 5\n",
                  5, 8},
        // The word is cleared before each read: a failed read never shows
        // the state the previous read left in it.
        AlarmCase{"OneReadFails",
                  R"({"faults": [{"call": "ioctl", "path": "/dev/vexio",
                                  "request": "0x80026B90", "nth": 3}]})",
                  "IOCTL ERROR\n\n 报警输出为 2, 报警输入为 0 ，报警输入应为 2222\n"
                  "成功 4, 失败 1\n",
                  1, 2},
        // Start-up could not decode the board: no wiring is known, so the
        // outputs cannot be checked and the test does not pass.
        AlarmCase{"UnknownOutputCount", R"({"board": {"info_fails": true}})",
                  "unknown alarm output count 0, alarm outputs not tested\n"
                  "成功 1, 失败 1\n",
                  1, 2},
        // The driver cannot be opened: nothing was checked, so the test
        // fails without a beep.
        AlarmCase{"NoBoardDriver", R"({"board": {"missing": true}})",
                  "sysInit 1 Fatal\nopen /dev/iop failed\n", 255, 0, 1},
        AlarmCase{"DriverOpenFails",
                  R"({"faults": [{"call": "open", "path": "/dev/vexio", "nth": 2}]})",
                  "open /dev/iop failed\n", 255, 0, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AlarmTiming, TwoSecondsPerCheckAndTheLastMaskStays) {
    struct Variant {
        std::string scenario;
        std::vector<uint32_t> masks;
        sim::Time duration;
    };
    const Variant variants[] = {{"{}", {0, 1, 2, 4, 8}, 10 * kSecond},
                                {with_two(), {0, 1, 2}, 6 * kSecond}};
    for (const Variant &v : variants) {
        qa::SimRun r = alarm(v.scenario);
        sim::Time start = first_event_at(r, "vexio", "alarm_setup");
        ASSERT_GE(start, 0);
        EXPECT_EQ(masks_written(r), v.masks) << v.scenario;
        // Each read comes 2 s after its mask.
        auto writes = r.events("vexio", "alarm_outputs");
        auto reads = r.events("vexio", "alarm_inputs");
        ASSERT_EQ(reads.size(), writes.size());
        for (size_t i = 0; i < reads.size(); ++i)
            EXPECT_EQ(reads[i].t - writes[i].t, 2 * kSecond) << i;
        EXPECT_EQ(r.kernel->now() - start, v.duration) << v.scenario;
        // The outputs are not switched off at the end.
        EXPECT_EQ(r.kernel->wiring().alarm_outputs, v.masks.back());
    }
}

TEST(AlarmTiming, StuckInputCheckDoesNotBeep) {
    qa::SimRun r = alarm(R"({"alarm": {"stuck_active": 4}})");
    auto reads = r.events("vexio", "alarm_inputs");
    ASSERT_GE(reads.size(), 2u);
    for (const auto &b : r.events("vexio", "buzzer_on"))
        EXPECT_GE(b.t, reads[1].t) << "a beep before the first output was checked";
}

TEST(AlarmTiming, SingleTestFivePasses) {
    qa::SimRun r = qa::run_ftq("{}", {"-o", "5"});
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    EXPECT_EQ(occurrences(r.out(), "成功 5, 失败 0\n"), 1u) << r.out();
    EXPECT_EQ(alarmError, 0);
}

struct Interrupt {
    const char *name;
    std::string scenario;
    std::string line;
};
void PrintTo(const Interrupt &c, std::ostream *os) {
    *os << c.name;
}

class AlarmInterrupt : public testing::TestWithParam<Interrupt> {};

TEST_P(AlarmInterrupt, PrintsTheCountsSoFarAndEndsTheProgram) {
    const Interrupt &c = GetParam();
    qa::SimRun r = alarm(c.scenario);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled);
    EXPECT_EQ(r.result.code, SIGINT);
    // One write of its own, and nothing after it.
    EXPECT_EQ(write_containing(r, "success is"), c.line);
    ASSERT_FALSE(r.kernel->console().empty());
    EXPECT_EQ(r.kernel->console().back().bytes, c.line);
    EXPECT_EQ(occurrences(r.out(), "成功"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    During, AlarmInterrupt,
    testing::Values(
        // Checks at 2.1, 4.1 and 6.1 s have passed by 7.5 s.
        Interrupt{"HealthyBoard", R"({"signals": [{"at": 7.5, "signal": "SIGINT"}]})",
                  "success is 3, and error is 0\n"},
        // All-off passed, output 1 failed, output 2 failed and is beeping.
        Interrupt{
            "NotConnected",
            R"({"alarm": {"connected": false}, "signals": [{"at": 7.5, "signal": "SIGINT"}]})",
            "success is 1, and error is 2\n"}),
    [](const auto &info) { return std::string(info.param.name); });
