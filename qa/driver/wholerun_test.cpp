// The whole run: its steps, their order, their console waits and its end.
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

// The virtual time at which the console write containing `text` was made,
// and the time of the write after it.
std::pair<double, double> write_and_next(const qa::SimRun &r, const std::string &text) {
    const auto &writes = r.kernel->console();
    for (size_t i = 0; i + 1 < writes.size(); ++i)
        if (writes[i].bytes.find(text) != std::string::npos)
            return {qa::secs(writes[i].t), qa::secs(writes[i + 1].t)};
    ADD_FAILURE() << "no write contains the text";
    return {0, 0};
}

TEST(WholeRun, StepsComeInOrderAndTheHealthyBoardPasses) {
    qa::SimRun r = qa::run_ftq("{}");
    std::string out = r.out();
    const char *headings[] = {"第1步:按键测试\n",
                              "第2步:网络状态",
                              "第3步:报警量测试，请确认已经连接好报警测试装置\n",
                              "第4步:实时时钟\n",
                              "第5步:USB口测试\n",
                              "第6步:SATA硬盘测试\n",
                              "第7步:请确认已经正确连接好485测试装置\n",
                              "FTQ测试结果如下:\n"};
    size_t at = 0;
    for (const char *h : headings) {
        size_t found = out.find(h, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: step " << (&h - headings) + 1;
        at = found;
    }
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 0);
}

TEST(WholeRun, WithNobodyAtTheConsoleEachWaitTakesOneSecond) {
    qa::SimRun r = qa::run_ftq(R"({"console": {"operator": "absent"}})");
    auto [heading, next] = write_and_next(r, "第2步:网络状态");
    EXPECT_DOUBLE_EQ(next - heading, 1.0);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
}

TEST(WholeRun, AtTheEndOfInputTheRunStillCompletes) {
    qa::SimRun r = qa::run_ftq(R"({"console": {"operator": "eof"}})");
    auto [heading, next] = write_and_next(r, "第4步:实时时钟\n");
    EXPECT_DOUBLE_EQ(next - heading, 1.0);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_NE(r.out().find("测试结束"), std::string::npos);
}

TEST(WholeRun, EnterShortensAWait) {
    qa::SimRun r = qa::run_ftq(R"({"console": {"operator": "enter", "delay": 0.25}})");
    auto [heading, next] = write_and_next(r, "第2步:网络状态");
    EXPECT_DOUBLE_EQ(next - heading, 0.25);
}

TEST(WholeRun, APassedRunResetsTheBoardAndArmsTheWatchdogLast) {
    qa::SimRun r = qa::run_ftq("{}");
    ASSERT_NE(r.out().find("测试结果    : OK \n"), std::string::npos) << r.out();
    EXPECT_NE(r.out().find("测试结束,系统将要重新启动,并恢复出厂设置\n"
                           "remove /dav2/devCfg.bin OK ... \n"),
              std::string::npos);
    EXPECT_FALSE(r.kernel->vfs().exists("/dav2/devCfg.bin"));
    EXPECT_TRUE(r.kernel->vfs().exists("/dav2/netOsd.bin")) << "type 1 keeps its OSD file";
    const auto &events = r.trace().events();
    ASSERT_FALSE(events.empty());
    auto armed = r.events("vexio", "watchdog_armed");
    ASSERT_EQ(armed.size(), 1u);
    for (const auto &e : events) {
        if (e.dev == "vexio" || e.dev == "fs") {
            EXPECT_LE(e.t, armed[0].t);
        }
    }
    EXPECT_EQ(r.events("vexio", "buzzer_on").size(), 5u);
}

TEST(WholeRun, AFailedRunKeepsTheConfigurationAndTheWatchdogIdle) {
    qa::SimRun r = qa::run_ftq(R"({"board": {"info": {"usbCount": 3}}})");
    EXPECT_NE(r.out().find("USB口       : error occured!  \n"), std::string::npos);
    EXPECT_NE(r.out().find("测试结束\n"), std::string::npos);
    EXPECT_TRUE(r.kernel->vfs().exists("/dav2/devCfg.bin"));
    EXPECT_TRUE(r.events("vexio", "watchdog_armed").empty());
}

TEST(WholeRun, TheSameScenarioGivesTheSameBytesAndTrace) {
    auto once = [] {
        qa::SimRun r = qa::run_ftq(R"({"console": {"operator": "enter", "delay": 0.4}})");
        std::ostringstream trace;
        r.trace().write_jsonl(trace);
        return std::make_pair(r.out(), trace.str());
    };
    auto a = once();
    auto b = once();
    EXPECT_EQ(a.first, b.first);
    EXPECT_EQ(a.second, b.second);
    EXPECT_GT(a.second.size(), 1000u);
}

} // namespace
