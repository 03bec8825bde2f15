// ftq-sim as scripts use it: its output streams and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct SimCall {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// CTest runs the cases of this file side by side, each in its own process:
// the process number keeps their files apart.
std::string temp_path(const std::string &name) {
    return testing::TempDir() + "ftq-sim-test-" + std::to_string(getpid()) + "-" + name;
}

std::string temp_file(const std::string &name, const std::string &content) {
    std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

#ifdef FTQ_SIM_BINARY

SimCall ftq_sim(const std::string &args) {
    std::string out = temp_path("out"), err = temp_path("err");
    std::string cmd =
        std::string(FTQ_SIM_BINARY) + " " + args + " > " + out + " 2> " + err + " < /dev/null";
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

// Scripts rely on the exit status: ftq's own, 128 + the signal that ended
// it, 2 for a bad command line or scenario (named with its field).
TEST(FtqSim, ExitStatusesAndErrors) {
    EXPECT_EQ(ftq_sim("--help").status, 0);
    SimCall bad = ftq_sim("--frobnicate");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown option '--frobnicate'"), std::string::npos);
    std::string file = temp_file("bad-scenario.json", R"({"board": {"info": {"usbCount": 9}}})");
    SimCall malformed = ftq_sim("--scenario " + file);
    EXPECT_EQ(malformed.status, 2);
    EXPECT_NE(malformed.err.find(file + ": field 'board.info.usbCount': 9 is out of range 0..3"),
              std::string::npos)
        << malformed.err;
    EXPECT_EQ(ftq_sim("--scenario /nonexistent/board.json").status, 2);
    EXPECT_EQ(ftq_sim("--scenario startup-no-vexio").status, 255);
    SimCall interrupted = ftq_sim("--scenario panel-sigint");
    EXPECT_EQ(interrupted.status, 130);
    EXPECT_NE(interrupted.out.find("ftq ended: killed by signal 2"), std::string::npos);
}

TEST(FtqSim, RawOutputIsTheProgramsOwnBytesAndTheReportGoesToStandardError) {
    SimCall r = ftq_sim("--raw -- -o 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " 设备类型 Type  1 \n请输入正确的测试序号.(1~11)");
    EXPECT_NE(r.err.find("ftq ended: exit status 0"), std::string::npos);
}

TEST(FtqSim, TheTraceIsOneJsonObjectPerLine) {
    std::string trace = temp_path("trace.jsonl");
    SimCall r = ftq_sim("--trace " + trace + " -- -o 2");
    ASSERT_EQ(r.status, 0);
    std::ifstream in(trace);
    int lines = 0, buzzer = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        auto j = nlohmann::json::parse(line);
        ASSERT_TRUE(j.contains("t_us") && j.contains("dev") && j.contains("ev"));
        buzzer += j["ev"] == "buzzer_on";
    }
    EXPECT_GT(lines, 5);
    EXPECT_EQ(buzzer, 3);
}

#else

TEST(FtqSim, RunsOnlyOnTheMachineItWasBuiltFor) {
    GTEST_SKIP() << "a board build cannot start another board binary under qemu-user";
}

#endif

} // namespace
