// The command line: which arguments start which mode, with which messages
// and exit status.
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

const std::string TYPE_LINE = " 设备类型 Type  1 \n";
const std::string HELP =
    "ftq ver1.02(2009-4-3)\n"
    "this program will excute the follow test\n"
    "No.1 : \t\t\t Show board Info\n"
    "No.2 : \t\t\t Buzzer test\n"
    "No.3 : \t\t\t Front board test\n"
    "No.4 : \t\t\t 485 com test\n"
    "No.5 : \t\t\t Iop test\n"
    "No.6 : \t\t\t RTC test\n"
    "No.7 : \t\t\t USB port test\n"
    "No.8 : \t\t\t SATA test\n"
    "No.9 : \t\t\t Watchdog test,Restart system \n"
    "No.10: \t\t\t pmp test,Restart system \n"
    "No.11: \t\t\t Network model configure show\n"
    "ftq -h or ftq --help for help information\n"
    "If you want to do all the tests, please run ftq \n"
    "If you want to do only one test of them ,please run ftq -o  <No.> \n"
    "        eg. ftq -o 4   then only test 485 port\n";
const std::string PICK = "请选择测试序号(1~11)\n";
const std::string RANGE = "请输入正确的测试序号.(1~11)";

enum class Mode { Stops, WholeRun, Test2, Test10 };

struct Case {
    std::vector<std::string> args;
    std::string output; // after the type line, when the program stops early
    Mode mode;
};

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, StartsTheRightModeWithItsMessages) {
    const Case &c = GetParam();
    qa::SimRun r = qa::run_ftq("{}", c.args);
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 0);
    std::string out = r.out();
    ASSERT_EQ(out.substr(0, TYPE_LINE.size()), TYPE_LINE);
    size_t setups = r.events("vexio", "watchdog_setup").size();
    switch (c.mode) {
    case Mode::Stops:
        EXPECT_EQ(out.substr(TYPE_LINE.size()), c.output);
        EXPECT_EQ(setups, 0u) << "a rejected command line must not touch the board";
        break;
    case Mode::WholeRun:
        EXPECT_NE(out.find("第1步:按键测试"), std::string::npos);
        EXPECT_NE(out.find("FTQ测试结果如下:"), std::string::npos);
        break;
    case Mode::Test2:
        EXPECT_EQ(out.substr(TYPE_LINE.size(), c.output.size()), c.output);
        EXPECT_EQ(setups, 1u);
        EXPECT_EQ(r.events("vexio", "buzzer_on").size(), 3u);
        EXPECT_EQ(out.find("第1步"), std::string::npos);
        break;
    case Mode::Test10:
        EXPECT_EQ(out.substr(TYPE_LINE.size(), c.output.size()), c.output);
        EXPECT_EQ(setups, 1u);
        EXPECT_NE(out.find("sata_port_num = 5 \n"), std::string::npos);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(Case{{"-h"}, HELP, Mode::Stops}, Case{{"--help"}, HELP, Mode::Stops},
                      Case{{"-h", "3"}, "参数非法\n", Mode::Stops},
                      Case{{"-x", "2"}, "参数非法\n", Mode::Stops},
                      Case{{"-o", "5x"}, PICK, Mode::Stops},
                      Case{{"-o", "abc"}, PICK + PICK, Mode::Stops},
                      Case{{"-o", "123"}, PICK + RANGE, Mode::Stops},
                      Case{{"-o", ""}, RANGE, Mode::Stops}, Case{{"-o", "0"}, RANGE, Mode::Stops},
                      Case{{"-o", "00"}, RANGE, Mode::Stops},
                      Case{{"-o", "12"}, RANGE, Mode::Stops},
                      Case{{"-o", "2"}, "", Mode::Test2}, Case{{"-O", "02"}, "", Mode::Test2},
                      Case{{"-o", "2abc"}, PICK + PICK, Mode::Stops},
                      Case{{"-o", "025"}, PICK, Mode::Test2},
                      Case{{"-o", "105"}, PICK, Mode::Test10},
                      Case{{"-x"}, "", Mode::WholeRun}, Case{{"-o"}, "", Mode::WholeRun},
                      Case{{"a", "b", "c"}, "", Mode::WholeRun}, Case{{}, "", Mode::WholeRun}));

TEST(StartUp, RightsMissingStopsAfterTheTypeLine) {
    qa::SimRun r = qa::run_ftq(R"({"system": {"setuid_fails": true}})", {"-h"});
    EXPECT_EQ(r.out(), TYPE_LINE + "以管理员权限运行ftq程序失败!!!\n");
    EXPECT_EQ(r.result.code, 0);
}

TEST(StartUp, NoBoardDriverEndsWith255) {
    qa::SimRun r = qa::run_ftq(R"({"board": {"missing": true}})", {"-o", "2"});
    EXPECT_EQ(r.out(), "sysInit 1 Fatal\n 设备类型 Type  0 \n打开hwInfo设备出错!\n");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 255);
}

TEST(StartUp, WatchdogSetUpFailureEndsWithTheDescriptorNumber) {
    qa::SimRun r = qa::run_ftq(R"({"faults": [{"call": "ioctl", "path": "/dev/vexio",
                                               "request": 32, "errno": "EIO"}]})",
                               {"-o", "2"});
    EXPECT_EQ(r.out(), TYPE_LINE + "初始化关门狗失败!\n");
    // Descriptors 0 to 2 are the console, so the driver's is 3.
    EXPECT_EQ(r.result.code, 3);
    EXPECT_TRUE(r.events("vexio", "buzzer_on").empty());
}

TEST(StartUp, SetUpSleepsTwoSecondsAndStopsTheMainApplication) {
    qa::SimRun r = qa::run_ftq("{}", {"-o", "2"});
    auto kills = r.events("proc", "kill");
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].t, 2 * sim::kSecond);
    auto hold = r.events("vexio", "watchdog_hold");
    ASSERT_EQ(hold.size(), 1u);
    EXPECT_EQ(hold[0].t, 0);
}

} // namespace
