// What the RS-485 transcripts cannot show: the writes the sender makes, and
// the exact virtual times of its waits (the transcripts round to 1 ms).
#include "sim/harness/harness.h"
#include "sim/harness/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr sim::Time kSecond = sim::kSecond;

struct Loop {
    const char *scenario;                    // of the catalog
    std::vector<std::pair<int, int>> writes; // bytes requested, accepted
    // A line, and how long after the receiver started it is printed.
    std::vector<std::pair<std::string, sim::Time>> lines;
};
void PrintTo(const Loop &c, std::ostream *os) {
    *os << c.scenario;
}

class Rs485Loop : public testing::TestWithParam<Loop> {};

TEST_P(Rs485Loop, SendsFromWhereItStoppedWithinOneBoundPerSide) {
    const Loop &c = GetParam();
    sim::Session s(sim::Scenario::from_file(std::string(FTQ_SOURCE_DIR) + "/scenarios/" +
                                            c.scenario + ".json"));
    s.run_ftq(sim::scenario_args(s.scenario()));
    std::vector<std::pair<int, int>> writes;
    for (const auto &w : s.events("rs485", "write"))
        writes.emplace_back(w.data["requested"], w.data["accepted"]);
    EXPECT_EQ(writes, c.writes);

    // The line settles 100 ms before the stale input goes and the receiver
    // starts; the sender writes at once.
    auto heard = s.events("vexio", "rs485_rx_enable");
    auto spawn = s.events("kernel", "spawn");
    ASSERT_EQ(heard.size(), 1u);
    ASSERT_EQ(spawn.size(), 1u);
    EXPECT_EQ(spawn[0].t - heard[0].t, 100 * sim::kMillisecond);
    for (const auto &[text, after] : c.lines) {
        sim::Time at = -1;
        for (const auto &w : s.kernel->console())
            if (at < 0 && w.bytes.find(text) != std::string::npos)
                at = w.t;
        EXPECT_EQ(at - spawn[0].t, after) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Catalog, Rs485Loop,
    testing::Values(
        // Counted the moment the last of 1024 bytes (10 bits each at 9600
        // baud) is back.
        Loop{"rs485-stale-input", {{1024, 1024}}, {{"正确:    1024", 1024 * 10 * kSecond / 9600}}},
        // A failed write rests 100 ms, then the pattern goes out whole.
        Loop{"rs485-write-error-passes",
             {{1024, 1024}},
             {{"正确:    1024", 100 * sim::kMillisecond + 1024 * 10 * kSecond / 9600}}},
        Loop{"rs485-partial-writes", {{1024, 300}, {724, 300}, {424, 300}, {124, 124}}, {}},
        // Failed waits rest 100 ms at a time, exactly up to the bound.
        Loop{"rs485-select-fails",
             {},
             {{"no more data can write", 5 * kSecond}, {"发送  0", 5 * kSecond}}},
        Loop{"rs485-slow-port",
             {{1024, 100}, {924, 100}, {824, 100}, {724, 100}},
             {{"no more data can write", 5 * kSecond}, {"发送  400", 5 * kSecond}}}),
    [](const auto &info) {
        std::string id = info.param.scenario;
        std::replace(id.begin(), id.end(), '-', '_');
        return id;
    });

} // namespace
