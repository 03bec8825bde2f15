// What no transcript of test 7 shows: how the mount points are made, how
// each disk is mounted, and that it is unmounted again.
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Usb, FallsBackOnlyWhenTheCallFailsAndUnmountsEveryDisk) {
    qa::SimRun r = qa::run_routine(R"({"usb": {"mice": [], "devices": ["msa1",
        {"name": "msb1", "mount": "fallback"}, {"name": "msc1", "statfs": "fails"}]}})",
                                   usbtest);
    auto made = r.events("fs", "mkdir");
    ASSERT_EQ(made.size(), 3u);
    for (const auto &e : made)
        EXPECT_EQ(e.data["mode"], 0777) << e.data["path"];
    for (const auto &e : r.events("fs", "mount")) {
        EXPECT_EQ(e.data["type"], "vfat");
        EXPECT_EQ(e.data["flags"], 0);
    }
    // No mkdir program (every mkdir call worked), and the mount program
    // only for the disk that the call could not mount.
    auto programs = r.events("usb", "program");
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].data["argv"],
              nlohmann::json({"mount", "-t", "vfat", "/dev/msb1", "/mnt/msb1"}));
    // Unmounted after its figures were read, and after a failed statfs too.
    std::vector<std::string> unmounted;
    for (const auto &e : r.events("usb", "umount"))
        if (e.data["result"] == 0)
            unmounted.push_back(e.data["target"]);
    EXPECT_EQ(unmounted, (std::vector<std::string>{"/mnt/msa1", "/mnt/msb1", "/mnt/msc1"}));
}

} // namespace
