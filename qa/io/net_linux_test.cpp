// Test 11 on the Linux backend, against real interfaces: the loopback of
// the machine, and a veth pair named eth0/eth1 in a network namespace of
// the test's own.
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

std::string read_all(int fd) {
    std::string out;
    char buf[512];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

// What the product writes to standard output while fn runs.
template <class Fn> std::string stdout_of(Fn fn) {
    fflush(stdout);
    int p[2];
    if (::pipe(p) != 0)
        return "<no pipe>";
    int saved = ::dup(1);
    ::dup2(p[1], 1);
    ::close(p[1]);
    fn();
    ::dup2(saved, 1);
    ::close(saved);
    std::string out = read_all(p[0]);
    ::close(p[0]);
    return out;
}

// The ethtool request made directly, as the oracle: 0 or errno.
int ethtool(int sock, const char *ifname, void *arg) {
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    ifr.ifr_data = static_cast<char *>(arg);
    return ::ioctl(sock, SIOCETHTOOL, &ifr) == 0 ? 0 : errno;
}

TEST(NetLinux, TheLoopbackAnswersAsTheKernelSays) {
    sys::LinuxBackend backend;
    sys::install(&backend);
    int sock = sys::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0) << strerror(errno);

    struct ethtool_value link {};
    link.cmd = ETHTOOL_GLINK;
    if (int err = ethtool(sock, "lo", &link); err != 0) {
        ::close(sock);
        GTEST_SKIP() << "the link query on lo fails here (" << strerror(err)
                     << "): an emulator that does not translate SIOCETHTOOL, or a kernel "
                        "whose loopback has no link query";
    }
    int state = -1;
    std::string out = stdout_of([&] { state = linkstate(sock, "lo"); });
    EXPECT_EQ(state, link.data != 0 ? 1 : 0);
    EXPECT_EQ(out, link.data != 0 ? "网络连接接通 " : "网络连接断开 \n");

    struct ethtool_cmd settings {};
    settings.cmd = ETHTOOL_GSET;
    int gset = ethtool(sock, "lo", &settings);
    int speed = -1;
    out = stdout_of([&] { speed = linkspeed(sock, "lo"); });
    if (gset != 0) {
        EXPECT_EQ(speed, 2);
        EXPECT_EQ(out, "ETHTOOL_GLINK failed\n");
    } else {
        EXPECT_EQ(speed, 0);
        EXPECT_EQ(out.substr(0, out.find("  ") + 2),
                  settings.duplex == DUPLEX_FULL ? "全双工  " : "半双工  ");
    }

    // An interface that does not exist is a failed query.
    out = stdout_of([&] { state = linkstate(sock, "ftqnosuch0"); });
    EXPECT_EQ(state, 2);
    EXPECT_EQ(out, "ETHTOOL_GLINK failed: \n");
    ::close(sock);
}

struct NsRun {
    std::string skipped; // why the run could not be made, if it could not
    std::string out;
    int error = -1;
};

// nettest in a child process moved into a network namespace of its own,
// where `setup` (ip commands) has made eth0 and eth1.
NsRun nettest_in_own_netns(const std::string &setup, int ports) {
    NsRun r;
    int p[2];
    if (::pipe(p) != 0) {
        r.skipped = "no pipe";
        return r;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        auto skip = [&](const std::string &why) {
            ssize_t n = ::write(p[1], why.data(), why.size());
            (void)n;
            ::_exit(77);
        };
        if (::unshare(CLONE_NEWNET) != 0)
            skip(std::string("a network namespace needs root (CAP_SYS_ADMIN): ") + strerror(errno));
        std::string cmd = "{ " + setup + "; } >/dev/null 2>&1";
        if (::system(cmd.c_str()) != 0)
            skip("ip(8) could not make the veth pair eth0/eth1 (iproute2 or the veth driver "
                 "missing)");
        int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
        struct ethtool_value link {};
        link.cmd = ETHTOOL_GLINK;
        if (int err = ethtool(probe, "eth0", &link); err != 0)
            skip(std::string("the link query on a veth port fails here (") + strerror(err) +
                 "): an emulator that does not translate SIOCETHTOOL?");
        ::close(probe);
        ::dup2(p[1], 1);
        netPortCount = ports;
        networkError = 0;
        nettest();
        ::_exit(networkError);
    }
    ::close(p[1]);
    std::string out = read_all(p[0]);
    ::close(p[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        r.skipped = out;
        return r;
    }
    r.out = out;
    r.error = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    return r;
}

const char *const PAIR = "ip link add eth0 type veth peer name eth1";

TEST(NetLinux, AVethPairInItsOwnNamespace) {
    sys::LinuxBackend backend;
    sys::install(&backend);

    // Both ends up: the link is there, and veth reports 10000 Mbit/s full
    // duplex, a speed this board's ports never have.
    NsRun up = nettest_in_own_netns(
        std::string(PAIR) + " && ip link set eth0 up && ip link set eth1 up", 2);
    if (!up.skipped.empty())
        GTEST_SKIP() << up.skipped;
    EXPECT_EQ(up.out, "网口一:网络连接接通 全双工  net speed error\n"
                      "网口二:网络连接接通 全双工  net speed error\n");
    EXPECT_EQ(up.error, 0);

    // eth1 left down: eth0 has no carrier and eth1 is not running.
    NsRun down = nettest_in_own_netns(std::string(PAIR) + " && ip link set eth0 up", 2);
    ASSERT_TRUE(down.skipped.empty()) << down.skipped;
    EXPECT_EQ(down.out, "网口一:网络连接断开 \n网口二:网络连接断开 \n");
    EXPECT_EQ(down.error, 1);

    // One port: eth1 exists and is down, but is never looked at.
    NsRun one = nettest_in_own_netns(std::string(PAIR) + " && ip link set eth0 up", 1);
    ASSERT_TRUE(one.skipped.empty()) << one.skipped;
    EXPECT_EQ(one.out, "网口一:网络连接断开 \n");
    EXPECT_EQ(one.error, 1);

    // No eth1 at all on a two-port board: its query fails.
    NsRun missing = nettest_in_own_netns("ip link add eth0 type veth peer name other0 && "
                                         "ip link set eth0 up && ip link set other0 up",
                                         2);
    ASSERT_TRUE(missing.skipped.empty()) << missing.skipped;
    EXPECT_EQ(missing.out, "网口一:网络连接接通 全双工  net speed error\n"
                           "网口二:ETHTOOL_GLINK failed: \n");
    EXPECT_EQ(missing.error, 1);
}

} // namespace
