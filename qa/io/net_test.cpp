// The interface name the link query hands the driver: the program only
// queries eth0 and eth1, but the routine takes any name.
#include "platform/sys.h"
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

TEST(Net, ALongInterfaceNameStaysTerminated) {
    qa::SimRun r = qa::run_routine("{}", [] {
        return linkstate(sys::socket(AF_INET, SOCK_DGRAM, 0), "eth0-with-a-name-far-too-long");
    });
    auto q = r.events("net", "ethtool");
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].data["ifname"], "eth0-with-a-nam") << "15 characters and the NUL";
}
