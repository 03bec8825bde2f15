// Test 11 on the simulated board: the link report of eth0 and eth1.
#include "board/boardinfo.h"
#include "driver/result.h"
#include "platform/sys.h"
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>

namespace {

struct Net {
    qa::SimRun run;
    int rc = 0;
    int error = 0; // networkError after the test
};

Net net(const std::string &scenario, int ports, int error_before = 0) {
    Net n;
    n.run = qa::run_routine(scenario, [&] {
        netPortCount = ports;
        networkError = error_before;
        n.rc = nettest();
        n.error = networkError;
        return 0;
    });
    return n;
}

std::string port(const std::string &eth0, const std::string &eth1 = "{}") {
    return R"({"net": {"eth0": )" + eth0 + R"(, "eth1": )" + eth1 + "}}";
}

// The interfaces and commands queried, in order: "eth0 GLINK", ...
std::vector<std::string> queries(const qa::SimRun &r) {
    std::vector<std::string> out;
    for (const auto &e : r.events("net", "ethtool"))
        out.push_back(e.data["ifname"].get<std::string>() + " " + e.data["cmd"].get<std::string>());
    return out;
}

TEST(Net, TheDefaultBoardHasTwoPortsUpAt100Full) {
    Net n = net("{}", 2);
    EXPECT_EQ(n.rc, 0);
    EXPECT_EQ(n.error, 0);
    EXPECT_EQ(n.run.out(), "网口一:网络连接接通 全双工  100M\n"
                           "网口二:网络连接接通 全双工  100M\n");
    std::vector<std::string> expected = {"eth0 GLINK", "eth0 GSET", "eth1 GLINK", "eth1 GSET"};
    EXPECT_EQ(queries(n.run), expected);
}

TEST(Net, OnePortNeverQueriesEth1) {
    Net n = net(port("{}", R"({"link": false})"), 1);
    EXPECT_EQ(n.run.out(), "网口一:网络连接接通 全双工  100M\n");
    EXPECT_EQ(n.error, 0);
    std::vector<std::string> expected = {"eth0 GLINK", "eth0 GSET"};
    EXPECT_EQ(queries(n.run), expected);
}

TEST(Net, LinesAndVerdictOfOnePort) {
    struct Case {
        const char *eth0;
        const char *line;
        int error;
    } cases[] = {
        {R"({"speed": 10})", "网络连接接通 全双工  10M\n", 0},
        {R"({"speed": 100})", "网络连接接通 全双工  100M\n", 0},
        {R"({"speed": 1000})", "网络连接接通 全双工  1000M\n", 0},
        {R"({"speed": 10, "duplex": 0})", "网络连接接通 半双工  10M\n", 0},
        {R"({"speed": 1000, "duplex": 0})", "网络连接接通 半双工  1000M\n", 0},
        {R"({"duplex": 255})", "网络连接接通 半双工  100M\n", 0},
        {R"({"duplex": 2})", "网络连接接通 半双工  100M\n", 0},
        // An unexpected speed is shown, not held against the board.
        {R"({"speed": 10000})", "网络连接接通 全双工  net speed error\n", 0},
        {R"({"speed": 2500})", "网络连接接通 全双工  net speed error\n", 0},
        {R"({"speed": 0})", "网络连接接通 全双工  net speed error\n", 0},
        {R"({"speed": 4294967295})", "网络连接接通 全双工  net speed error\n", 0},
        // The upper half of a wide speed counts: 65546 is not 10.
        {R"({"speed": 65546})", "网络连接接通 全双工  net speed error\n", 0},
        {R"({"link": false})", "网络连接断开 \n", 1},
        // A link query that answers neither 0 nor 1 is still a link, and
        // the line says so.
        {R"({"link": 2})", "网络连接接通 全双工  100M\n", 0},
        {R"({"glink_fails": true})", "ETHTOOL_GLINK failed: \n", 1},
        {R"({"glink_fails": "EIO"})", "ETHTOOL_GLINK failed: \n", 1},
        {R"({"present": false})", "ETHTOOL_GLINK failed: \n", 1},
        {R"({"gset_fails": true})", "网络连接接通 ETHTOOL_GLINK failed\n", 1},
    };
    for (const Case &c : cases) {
        Net n = net(port(c.eth0), 1);
        EXPECT_EQ(n.rc, 0) << c.eth0;
        EXPECT_EQ(n.run.out(), "网口一:" + std::string(c.line)) << c.eth0;
        EXPECT_EQ(n.error, c.error) << c.eth0;
    }
}

TEST(Net, TheSpeedIsNotAskedWithoutALink) {
    for (const char *eth0 : {R"({"link": false})", R"({"glink_fails": true})"}) {
        Net n = net(port(eth0), 1);
        EXPECT_EQ(queries(n.run), std::vector<std::string>{"eth0 GLINK"}) << eth0;
    }
}

TEST(Net, TheSecondPortIsCheckedWhateverTheFirstSaid) {
    struct Case {
        const char *eth0, *eth1;
        const char *out;
        int error;
    } cases[] = {
        {R"({"link": false})", "{}", "网口一:网络连接断开 \n网口二:网络连接接通 全双工  100M\n", 1},
        {R"({"glink_fails": true})", R"({"speed": 1000})",
         "网口一:ETHTOOL_GLINK failed: \n网口二:网络连接接通 全双工  1000M\n", 1},
        {"{}", R"({"link": false})", "网口一:网络连接接通 全双工  100M\n网口二:网络连接断开 \n", 1},
        {"{}", R"({"gset_fails": true})",
         "网口一:网络连接接通 全双工  100M\n网口二:网络连接接通 ETHTOOL_GLINK failed\n", 1},
        {"{}", R"({"present": false})",
         "网口一:网络连接接通 全双工  100M\n网口二:ETHTOOL_GLINK failed: \n", 1},
        {R"({"speed": 10000})", R"({"duplex": 0, "speed": 10})",
         "网口一:网络连接接通 全双工  net speed error\n网口二:网络连接接通 半双工  10M\n", 0},
    };
    for (const Case &c : cases) {
        Net n = net(port(c.eth0, c.eth1), 2);
        EXPECT_EQ(n.run.out(), c.out) << c.eth0 << " " << c.eth1;
        EXPECT_EQ(n.error, c.error) << c.eth0 << " " << c.eth1;
    }
}

TEST(Net, TheSocketIsClosedWhenTheTestEnds) {
    int before = -1, after = -1;
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) {
        netPortCount = 2;
        before = k.open_descriptors(1);
        nettest();
        after = k.open_descriptors(1);
        return 0;
    });
    EXPECT_EQ(after, before);
}

TEST(Net, AnErrorIsNeverCleared) {
    Net n = net("{}", 2, 1);
    EXPECT_EQ(n.error, 1);
}

TEST(Net, WithoutASocketNoPortIsCheckedAndTheBoardFails) {
    for (const char *scenario : {R"({"net": {"socket": "fails"}})",
                                 R"({"faults": [{"call": "socket", "errno": "EMFILE"}]})"}) {
        Net n = net(scenario, 2);
        EXPECT_EQ(n.rc, -1) << scenario;
        EXPECT_EQ(n.run.out(), "creat socket error\n") << scenario;
        EXPECT_EQ(n.error, 1) << scenario;
        EXPECT_TRUE(queries(n.run).empty());
    }
}

TEST(Net, LinkStateAndSpeedAnswerTheirOwnCodes) {
    int up = -1, down = -1, failed = -1, speed_ok = -1, speed_failed = -1;
    qa::run_routine(port(R"({"gset_fails": true})", R"({"link": false})"), [&] {
        int sock = sys::socket(AF_INET, SOCK_DGRAM, 0);
        up = linkstate(sock, "eth0");
        down = linkstate(sock, "eth1");
        failed = linkstate(sock, "eth9");
        speed_ok = linkspeed(sock, "eth1");
        speed_failed = linkspeed(sock, "eth0");
        return 0;
    });
    EXPECT_EQ(up, 1);
    EXPECT_EQ(down, 0);
    EXPECT_EQ(failed, 2);
    EXPECT_EQ(speed_ok, 0) << "a port without a link still answers its settings";
    EXPECT_EQ(speed_failed, 2);
}

TEST(Net, ALongInterfaceNameStaysTerminated) {
    qa::SimRun r = qa::run_routine("{}", [&] {
        int sock = sys::socket(AF_INET, SOCK_DGRAM, 0);
        return linkstate(sock, "eth0-with-a-name-far-too-long");
    });
    auto q = r.events("net", "ethtool");
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].data["ifname"], "eth0-with-a-nam") << "15 characters and the NUL";
    EXPECT_EQ(r.result.code, 2);
}

} // namespace
