// Test 11: the link state, duplex and speed of the board's Ethernet ports.
#include "board/boardinfo.h"
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

namespace {

void prepare(struct ifreq &ifr, const char *ifname, void *argument) {
    memset(&ifr, 0, sizeof ifr);
    // One byte short of the field, so the name always stays terminated.
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    ifr.ifr_data = static_cast<char *>(argument);
}

// Both ports are checked whatever happened on the first.
void checkport(int sock, const char *ifname) {
    if (linkstate(sock, ifname) != 1)
        networkError = 1;
    else if (linkspeed(sock, ifname) != 0)
        networkError = 1;
}

} // namespace

int nettest() {
    int ports = netPortCount;
    int sock = sys::socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        say("creat socket error\n");
        // No port could be looked at: the board must not pass on it.
        networkError = 1;
        return -1;
    }
    say("网口一:");
    checkport(sock, "eth0");
    if (ports == 2) {
        say("网口二:");
        checkport(sock, "eth1");
    }
    // Nothing queries the links after the test: the socket would only be
    // held until the program ends.
    sys::close(sock);
    return 0;
}

int linkstate(int sock, const char *ifname) {
    struct ethtool_value value;
    memset(&value, 0, sizeof value);
    value.cmd = ETHTOOL_GLINK;
    struct ifreq ifr;
    prepare(ifr, ifname, &value);
    if (sys::ioctl(sock, SIOCETHTOOL, &ifr) == -1) {
        say("ETHTOOL_GLINK failed: \n");
        return 2;
    }
    // Any non-zero answer is a link, so the line always agrees with the
    // verdict.
    if (value.data != 0) {
        say("网络连接接通 ");
        return 1;
    }
    say("网络连接断开 \n");
    return 0;
}

int linkspeed(int sock, const char *ifname) {
    struct ethtool_cmd settings;
    memset(&settings, 0, sizeof settings);
    settings.cmd = ETHTOOL_GSET;
    struct ifreq ifr;
    prepare(ifr, ifname, &settings);
    if (sys::ioctl(sock, SIOCETHTOOL, &ifr) == -1) {
        say("ETHTOOL_GLINK failed\n");
        return 2;
    }
    say(settings.duplex == DUPLEX_FULL ? "全双工  " : "半双工  ");
    switch (ethtool_cmd_speed(&settings)) {
    case SPEED_10:
        say("10M\n");
        break;
    case SPEED_100:
        say("100M\n");
        break;
    case SPEED_1000:
        say("1000M\n");
        break;
    default:
        say("net speed error\n");
        break;
    }
    return 0;
}

// The test keeps nothing between runs: the socket is made afresh each time.
void net_reset_state() {}
