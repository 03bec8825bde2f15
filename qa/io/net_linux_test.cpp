// Test 11 on the Linux backend against real interfaces: the machine's
// loopback, and a veth pair in a network namespace of the test's own.
#include "board/boardinfo.h"
#include "driver/result.h"
#include "platform/linux_backend.h"
#include "platform/sys.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The ethtool request made directly, as the oracle: 0 or errno.
int ethtool(int sock, const char *ifname, void *arg) {
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    ifr.ifr_data = static_cast<char *>(arg);
    return ::ioctl(sock, SIOCETHTOOL, &ifr) == 0 ? 0 : errno;
}

// What fn writes to standard output, and its exit status, in a child
// process; status 77 with the reason when the child could not set up.
std::pair<std::string, int> in_child(const std::function<int()> &fn) {
    int p[2];
    if (::pipe(p) != 0)
        return {"no pipe", 77};
    fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::close(p[0]);
        ::_exit(fn());
    }
    ::close(p[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(p[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status)};
}

int skip(const char *why) {
    ssize_t n = ::write(1, why, strlen(why));
    (void)n;
    return 77;
}

TEST(NetLinux, TheLoopbackAnswersAsTheKernelSays) {
    auto [out, status] = in_child([] {
        static sys::LinuxBackend backend;
        sys::install(&backend);
        int sock = sys::socket(AF_INET, SOCK_DGRAM, 0);
        struct ethtool_value link {};
        link.cmd = ETHTOOL_GLINK;
        if (sock < 0 || ethtool(sock, "lo", &link) != 0)
            return skip("no link query on lo here (an emulator, or a kernel without it)");
        // Up is 1 (then the speed part follows), down 0; a missing one fails.
        int up = linkstate(sock, "lo");
        return (up == (link.data != 0 ? 1 : 0) ? 0 : 1) +
               (linkstate(sock, "ftqnosuch0") == 2 ? 0 : 2);
    });
    if (status == 77)
        GTEST_SKIP() << out;
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(out.rfind("网络连接", 0) == 0) << out;
    EXPECT_NE(out.find("ETHTOOL_GLINK failed: \n"), std::string::npos) << out;
}

// nettest with the ports `ports`, in a namespace where `setup` made them.
std::pair<std::string, int> nettest_in_netns(const std::string &setup, int ports) {
    return in_child([&] {
        static sys::LinuxBackend backend;
        sys::install(&backend);
        if (::unshare(CLONE_NEWNET) != 0)
            return skip("a network namespace needs CAP_SYS_ADMIN");
        if (::system(("{ " + setup + "; } >/dev/null 2>&1").c_str()) != 0)
            return skip("ip(8) could not make the veth pair (iproute2 or veth missing)");
        struct ethtool_value link {};
        link.cmd = ETHTOOL_GLINK;
        if (ethtool(::socket(AF_INET, SOCK_DGRAM, 0), "eth0", &link) != 0)
            return skip("no link query on a veth port here (an emulator?)");
        netPortCount = ports;
        networkError = 0;
        nettest();
        return static_cast<int>(networkError);
    });
}

TEST(NetLinux, AVethPairInItsOwnNamespace) {
    const std::string pair = "ip link add eth0 type veth peer name eth1 && ip link set eth0 up";
    // Both ends up: veth reports 10000 Mbit/s full duplex, a speed this
    // board's ports never have.
    auto [up, up_error] = nettest_in_netns(pair + " && ip link set eth1 up", 2);
    if (up_error == 77)
        GTEST_SKIP() << up;
    EXPECT_EQ(up, "网口一:网络连接接通 全双工  net speed error\n"
                  "网口二:网络连接接通 全双工  net speed error\n");
    EXPECT_EQ(up_error, 0);
    // eth1 left down: eth0 has no carrier and eth1 is not running.
    auto [down, down_error] = nettest_in_netns(pair, 2);
    EXPECT_EQ(down, "网口一:网络连接断开 \n网口二:网络连接断开 \n");
    EXPECT_EQ(down_error, 1);
    // No eth1 at all on a two-port board: its query fails.
    auto [missing, missing_error] =
        nettest_in_netns("ip link add eth0 type veth peer name other0 && ip link set eth0 up && "
                         "ip link set other0 up",
                         2);
    EXPECT_EQ(missing, "网口一:网络连接接通 全双工  net speed error\n"
                       "网口二:ETHTOOL_GLINK failed: \n");
    EXPECT_EQ(missing_error, 1);
}

} // namespace
