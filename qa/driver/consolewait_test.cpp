// The console wait: how long it waits and what it leaves in the buffer.
#include "driver/driver.h"
#include "platform/sys.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Wait {
    int result;
    double at; // virtual seconds when it returned
    char buf[21];
};

// Runs `waits` console waits of one second each on a console as described.
std::vector<Wait> waits_on(const std::string &console, int waits, sim::RunResult *end = nullptr) {
    std::vector<Wait> out;
    qa::SimRun r = qa::run_on_board(R"({"console": )" + console + "}", [&](sim::Kernel &k) {
        for (int i = 0; i < waits; ++i) {
            Wait w{};
            std::memset(w.buf, '#', sizeof w.buf);
            w.result = consolewait(w.buf, 1);
            w.at = qa::secs(k.now());
            out.push_back(w);
        }
        return 0;
    });
    if (end)
        *end = r.result;
    return out;
}

TEST(ConsoleWait, NobodyThereEndsEachWaitAfterOneSecond) {
    auto w = waits_on(R"({"operator": "absent"})", 2);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].result, 0);
    EXPECT_DOUBLE_EQ(w[0].at, 1.0);
    EXPECT_DOUBLE_EQ(w[1].at, 2.0);
}

TEST(ConsoleWait, EndOfInputStillWaitsOutItsTimeOutWithoutSpinning) {
    sim::RunResult end;
    auto w = waits_on(R"({"operator": "eof"})", 3, &end);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].result, 0);
    EXPECT_DOUBLE_EQ(w[0].at, 1.0);
    EXPECT_DOUBLE_EQ(w[2].at, 3.0);
    EXPECT_EQ(end.end, sim::RunResult::End::Exited);
}

TEST(ConsoleWait, EnterEndsTheWaitAtOnceAndStaysUnterminated) {
    auto w = waits_on(R"({"operator": "script", "script": [{"at": 0.25, "text": "\n"}]})", 1);
    EXPECT_EQ(w[0].result, 0);
    EXPECT_DOUBLE_EQ(w[0].at, 0.25);
    EXPECT_EQ(w[0].buf[0], '\n');
    EXPECT_EQ(w[0].buf[1], '#');
}

TEST(ConsoleWait, ALineIsTerminatedInPlaceOfItsNewline) {
    auto w = waits_on(R"({"operator": "script", "script": [{"at": 0.5, "text": "abc\n"}]})", 1);
    EXPECT_EQ(w[0].result, 3);
    EXPECT_STREQ(w[0].buf, "abc");
}

TEST(ConsoleWait, ALongLineEndsTwoWaits) {
    auto w = waits_on(
        R"({"operator": "script", "script": [{"at": 0.5, "text": "abcdefghijklmnopqrstuvwxyz\n"}]})",
        3);
    EXPECT_EQ(w[0].result, 19);
    EXPECT_EQ(std::string(w[0].buf, 20), std::string("abcdefghijklmnopqrs") + '\0');
    EXPECT_DOUBLE_EQ(w[0].at, 0.5);
    EXPECT_EQ(w[1].result, 6);
    EXPECT_STREQ(w[1].buf, "uvwxyz");
    EXPECT_DOUBLE_EQ(w[1].at, 0.5);
    EXPECT_EQ(w[2].result, 0);
    EXPECT_DOUBLE_EQ(w[2].at, 1.5);
}

TEST(ConsoleWait, AReadErrorGivesMinusTwo) {
    int result = 99;
    qa::run_on_board(R"({"console": {"operator": "script", "script": [{"at": 0.1, "text": "x\n"}]},
                         "faults": [{"call": "read", "path": "/dev/stdin", "errno": "EIO"}]})",
                     [&](sim::Kernel &) {
                         char buf[20];
                         result = consolewait(buf, 1);
                         return 0;
                     });
    EXPECT_EQ(result, -2);
}

} // namespace
