// The console wait: what it returns, what it leaves in the buffer and when
// it ends, for each kind of console. The whole run's waits are in the
// catalog (whole-console-*); this pins the routine's own contract.
#include "driver/driver.h"
#include "platform/console.h"
#include "datarows.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class ConsoleWait : public testing::TestWithParam<qa::DataRow> {};

// qa/data/console-waits.json: the console, and per wait of 1 s
// "result@seconds buffer", the buffer shown up to its first NUL or to 20
// bytes, '#' being what was there before.
TEST_P(ConsoleWait, ResultBufferAndEnd) {
    const qa::DataRow &row = GetParam();
    const std::vector<std::string> waits = row["waits"];
    std::vector<std::string> seen;
    qa::SimRun r =
        qa::run_on_board(R"({"console": )" + row["console"].dump() + "}", [&](sim::Kernel &k) {
            for (size_t i = 0; i < waits.size(); ++i) {
                char buf[21];
                std::memset(buf, '#', sizeof buf);
                int got = consolewait(buf, 1);
                buf[20] = '\0';
                char at[16];
                snprintf(at, sizeof at, "@%.2f ", qa::secs(k.now()));
                seen.push_back(std::to_string(got) + at + buf);
            }
            return 0;
        });
    EXPECT_EQ(seen, waits);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConsoleWait, testing::ValuesIn(qa::data_rows("console-waits.json")),
                         qa::data_row_name);

TEST(ConsoleWaitRoutine, AReadErrorGivesMinusTwo) {
    int got = 0;
    qa::run_routine(R"({"console": {"operator": "script", "script": [{"at": 0.1, "text": "x\n"}]},
                        "faults": [{"call": "read", "path": "/dev/stdin", "errno": "EIO"}]})",
                    [&] {
                        char buf[20];
                        got = consolewait(buf, 1);
                        return 0;
                    });
    EXPECT_EQ(got, -2);
}

// At the end of its input the console stays readable: the wait must rest
// between its empty reads in slices of at most 50 ms, and still end exactly
// at its time-out rather than spin or oversleep.
TEST(ConsoleWaitRoutine, AtTheEndOfInputItRestsInShortSlicesUpToItsTimeOut) {
    sim::Time ended = 0;
    qa::SimRun r = qa::run_on_board(R"({"console": {"operator": "eof"}})", [&](sim::Kernel &k) {
        char buf[20];
        consolewait(buf, 1);
        ended = k.now();
        return 0;
    });
    const auto &points = r.kernel->blocking_points();
    ASSERT_GE(points.size(), 20u);
    for (size_t i = 1; i < points.size(); ++i)
        EXPECT_LE(points[i].t - points[i - 1].t, 50 * sim::kMillisecond) << "wait " << i;
    EXPECT_EQ(ended, sim::kSecond);
}

// The operator's presses say where in the console's bytes the wait began
// and how much had been shown when Enter went: the kernel test bed holds
// its own operator to those points. Output that comes during a wait counts
// for that press and is new for the next wait; a wait with nothing new
// since the last one gets no press.
TEST(ConsoleWaitRoutine, EachPressRecordsWhereItsWaitBeganAndWhatWasShown) {
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) {
        char buf[21];
        write_all(1, "abc", 3);
        k.after(100 * sim::kMillisecond, [&k] { k.record_console(2, "xy", 2); });
        consolewait(buf, 1);
        consolewait(buf, 1);
        write_all(1, "f", 1);
        consolewait(buf, 1);
        consolewait(buf, 1);
        return 0;
    });
    std::vector<std::string> presses;
    for (const auto &e : r.session->events("console", "type"))
        presses.push_back(e.data.at("text").get<std::string>() + " waited_at " +
                          std::to_string(e.data.at("waited_at").get<size_t>()) + " shown " +
                          std::to_string(e.data.at("shown").get<size_t>()));
    EXPECT_EQ(presses, (std::vector<std::string>{"\n waited_at 3 shown 5", "\n waited_at 5 shown 5",
                                                 "\n waited_at 6 shown 6"}));
    EXPECT_EQ(r.kernel->now(), sim::kSecond + 900 * sim::kMillisecond)
        << "three waits end at their presses, the last one at its time-out";
}

} // namespace
