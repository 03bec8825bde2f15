// Stopping the board's main application before the tests.
#include "driver/driver.h"
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

struct Stop {
    int result;
    std::vector<std::string> killed;
    std::string out;
    std::string err;
};

Stop stop_with(const std::string &processes, const std::string &faults = "[]") {
    Stop s{};
    qa::SimRun r = qa::run_routine(
        R"({"processes": )" + processes + R"(, "faults": )" + faults + "}",
        [&] { return s.result = stopmainapp(); });
    for (const auto &e : r.events("proc", "kill"))
        s.killed.push_back(e.data["pid"].get<std::string>());
    for (const auto &w : r.kernel->console())
        (w.fd == 2 ? s.err : s.out) += w.bytes;
    return s;
}

TEST(StopMainApp, KillsOnlyTheFirstProcessStartedAsDotSlashVexmain) {
    Stop s = stop_with(R"([{"pid": 1, "cmdline": ["init"]}, {"pid": 2, "cmdline": []},
                           {"pid": 40, "cmdline": ["/usr/bin/vexmain"]},
                           {"pid": 41, "cmdline": ["./vexmain2"]},
                           {"pid": 42, "cmdline": ["./vexmain", "-d"]},
                           {"pid": 43, "cmdline": ["./vexmain"]}])");
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.killed, std::vector<std::string>{"42"});
    EXPECT_EQ(s.out, "");
}

TEST(StopMainApp, NothingMatchingKillsNothing) {
    Stop s = stop_with(R"([{"pid": 7, "cmdline": ["./vexmai"]}, {"pid": 8, "cmdline": []}])");
    EXPECT_EQ(s.result, 0);
    EXPECT_TRUE(s.killed.empty());
}

TEST(StopMainApp, AProcessThatVanishedIsSkippedAndTheScanGoesOn) {
    Stop s = stop_with(R"([{"pid": 5, "vanishes": true}, {"pid": 9, "cmdline": ["./vexmain"]}])");
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.killed, std::vector<std::string>{"9"});
    EXPECT_EQ(s.out, "can not open /proc/5/cmdline \n");
}

TEST(StopMainApp, AnUnreadableProcIsReportedOnStandardError) {
    Stop s = stop_with(R"([{"pid": 9, "cmdline": ["./vexmain"]}])",
                       R"([{"call": "opendir", "path": "/proc", "errno": "EACCES"}])");
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.err, "can not open directory /proc\n");
    EXPECT_TRUE(s.killed.empty());
}

} // namespace
