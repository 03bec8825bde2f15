// The USB, network and board information steps inside the whole program:
// the whole run and the single tests 1, 7 and 11.
#include "simrun.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char *const NET_FAILED = "网络状态    : error occured!  \n";
const char *const USB_FAILED = "USB口       : error occured!  \n";

const char *const REPORT = "CPLD信息: \n"
                           "\n"
                           "设备类型 : QB-71024(DVR)\n"
                           "ARM主频  : 720M\n"
                           "DSP主频  : 600MHz\n"
                           "内存频率 : 666MHz\n"
                           "内存大小 : 1GB\n"
                           "FLASH大小: 16MB\n"
                           "CPLD版本 : 2012年05月23日\n"
                           "报警 I/O : 16/4\n";

bool has(const std::string &out, const std::string &text) {
    return out.find(text) != std::string::npos;
}

TEST(WholeRunIo, TheDefaultBoardPassesTheseSteps) {
    qa::SimRun r = qa::run_ftq("{}");
    std::string out = r.out();
    EXPECT_TRUE(has(out, "第2步:网络状态网口一:网络连接接通 全双工  100M\n"
                         "网口二:网络连接接通 全双工  100M\n\n"))
        << out;
    EXPECT_TRUE(has(out, "第5步:USB口测试\n/dev/msa1 剩余空间 = 3884M\n\n")) << out;
    size_t report = out.find(REPORT);
    EXPECT_NE(report, std::string::npos) << out;
    EXPECT_LT(report, out.find("FTQ测试结果如下:\n")) << "the report comes before the summary";
    EXPECT_TRUE(has(out, "USB口       : 2 \n"));
    EXPECT_FALSE(has(out, NET_FAILED));
    EXPECT_FALSE(has(out, USB_FAILED));
}

TEST(WholeRunIo, EachFaultFailsItsOwnSummaryLine) {
    struct Case {
        const char *scenario;
        const char *line;     // present
        const char *not_line; // absent
    } cases[] = {
        {R"({"net": {"eth1": {"link": false}}})", NET_FAILED, USB_FAILED},
        {R"({"net": {"eth0": {"gset_fails": true}}})", NET_FAILED, USB_FAILED},
        {R"({"net": {"socket": "fails"}})", NET_FAILED, USB_FAILED},
        {R"({"usb": {"mice": []}})", USB_FAILED, NET_FAILED},
        {R"({"usb": {"devices": [{"name": "msa1", "statfs": "fails"}]}})", USB_FAILED, NET_FAILED},
        {R"({"usb": {"mice": [0, 1]}})", USB_FAILED, NET_FAILED},
    };
    for (const Case &c : cases) {
        qa::SimRun r = qa::run_ftq(c.scenario);
        std::string out = r.out();
        EXPECT_TRUE(has(out, c.line)) << c.scenario;
        EXPECT_FALSE(has(out, c.not_line)) << c.scenario;
        EXPECT_TRUE(has(out, "测试结束\n")) << c.scenario;
        EXPECT_EQ(r.result.code, 0) << c.scenario;
    }
}

TEST(WholeRunIo, TheSingleTests) {
    qa::SimRun report = qa::run_ftq("{}", {"-o", "1"});
    EXPECT_TRUE(has(report.out(), REPORT)) << report.out();

    qa::SimRun usb = qa::run_ftq("{}", {"-o", "7"});
    EXPECT_TRUE(has(usb.out(), "/dev/msa1 剩余空间 = 3884M\n")) << usb.out();

    // A board without a second port: boardsettings sets one port first.
    qa::SimRun net = qa::run_ftq(R"({"board": {"info": {"secondPort": 0}}})", {"-o", "11"});
    EXPECT_TRUE(has(net.out(), "网口一:网络连接接通 全双工  100M\n")) << net.out();
    EXPECT_FALSE(has(net.out(), "网口二")) << net.out();
    for (const auto &e : net.events("net", "ethtool"))
        EXPECT_EQ(e.data["ifname"], "eth0");
}

} // namespace
