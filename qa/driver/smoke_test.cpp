#include "simrun.h"

#include <gtest/gtest.h>

TEST(WholeRun, HealthyBoardReachesTheSummary) {
    qa::SimRun r = qa::run_ftq("{}");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_NE(r.out().find("FTQ测试结果如下:"), std::string::npos);
}
