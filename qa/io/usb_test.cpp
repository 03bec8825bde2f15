// Test 7: counting mice and USB storage devices, and the free space shown
// for each storage device.
#include "driver/result.h"
#include "simrun.h"
#include "tests/peripheral.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Usb {
    qa::SimRun run;
    int result = 0; // usbResult after the test
};

Usb usb(const std::string &scenario, int before = 0,
        std::function<void(sim::Kernel &)> prepare = nullptr) {
    Usb u;
    u.run = qa::run_on_board(scenario, [&](sim::Kernel &k) {
        if (prepare)
            prepare(k);
        usbResult = before;
        int rc = usbtest();
        u.result = usbResult;
        return rc;
    });
    return u;
}

std::string devices(const std::string &list, const std::string &mice = "[]") {
    return R"({"usb": {"mice": )" + mice + R"(, "devices": )" + list + "}}";
}

// The sources mounted, in order, by the mount call or the mount program.
std::vector<std::string> mounted(const qa::SimRun &r) {
    std::vector<std::string> out;
    for (const auto &e : r.events("usb", "mount"))
        if (e.data["result"] == 0)
            out.push_back(e.data["source"]);
    return out;
}

TEST(Usb, TheDefaultBoardHasOneMouseAndOnePartitionedDisk) {
    Usb u = usb("{}");
    EXPECT_EQ(u.run.result.code, 0);
    EXPECT_EQ(u.result, 2);
    EXPECT_EQ(u.run.out(), "/dev/msa1 剩余空间 = 3884M\n");
}

TEST(Usb, TwoMiceAndADiskWithItsPartition) {
    Usb u = usb(devices(R"(["msa", "msa1"])", "[0, 2]"), 1);
    EXPECT_EQ(u.result, 1 + 3) << "added to what was there";
    EXPECT_EQ(u.run.out(), "/dev/msa1 剩余空间 = 3884M\n");

    // Mount point made with mode 0777, mounted as vfat without flags, and
    // unmounted before the line is printed.
    auto mk = u.run.events("fs", "mkdir");
    ASSERT_EQ(mk.size(), 1u);
    EXPECT_EQ(mk[0].data["path"], "/mnt/msa1");
    EXPECT_EQ(mk[0].data["mode"], 0777);
    auto mount = u.run.events("fs", "mount");
    ASSERT_EQ(mount.size(), 1u);
    EXPECT_EQ(mount[0].data["source"], "/dev/msa1");
    EXPECT_EQ(mount[0].data["target"], "/mnt/msa1");
    EXPECT_EQ(mount[0].data["type"], "vfat");
    EXPECT_EQ(mount[0].data["flags"], 0);
    auto umount = u.run.events("fs", "umount");
    ASSERT_EQ(umount.size(), 1u);
    EXPECT_EQ(umount[0].data["result"], 0);
    ASSERT_FALSE(u.run.kernel->console().empty());
    EXPECT_LE(umount[0].t, u.run.kernel->console().back().t);
    EXPECT_TRUE(u.run.events("usb", "program").empty()) << "no fall-back was needed";
}

TEST(Usb, ListMerging) {
    struct Case {
        const char *list;
        int count;
        std::vector<std::string> shown;
    } cases[] = {
        {R"(["msa", "msa1"])", 1, {"/dev/msa1"}},
        {R"(["msa1", "msa"])", 1, {"/dev/msa1"}},
        {R"(["msab", "msac"])", 2, {"/dev/msab", "/dev/msac"}},
        // Two partitions of one disk: the later one stays.
        {R"(["msa", "msa1", "msa2"])", 1, {"/dev/msa2"}},
        // Only neighbours merge.
        {R"(["msa", "msb", "msa1"])", 3, {"/dev/msa", "/dev/msb", "/dev/msa1"}},
        {R"(["msa", "msa1", "msb1", "msb"])", 2, {"/dev/msa1", "/dev/msb1"}},
        // msm... and other names are not storage devices; "ms" alone is.
        {R"(["msm", "msmouse", "msm1", "mtd0", "sda1", "mouse", "Msa", "ms"])", 1, {"/dev/ms"}},
    };
    for (const Case &c : cases) {
        Usb u = usb(devices(c.list));
        EXPECT_EQ(u.result, c.count) << c.list;
        EXPECT_EQ(mounted(u.run), c.shown) << c.list;
        std::string expected;
        for (const auto &dev : c.shown)
            expected += dev + " 剩余空间 = 3884M\n";
        EXPECT_EQ(u.run.out(), expected) << c.list;
    }
}

TEST(Usb, AtMostEightDisksAfterMerging) {
    Usb u = usb(devices(
        R"(["msa", "msa1", "msb", "msc", "msd", "mse", "msf", "msg", "msh", "msi", "msj"])"));
    EXPECT_EQ(u.result, 8);
    std::vector<std::string> expected = {"/dev/msa1", "/dev/msb", "/dev/msc", "/dev/msd",
                                         "/dev/mse",  "/dev/msf", "/dev/msg", "/dev/msh"};
    EXPECT_EQ(mounted(u.run), expected);
}

TEST(Usb, MiceAloneAreCountedAndNothingIsPrinted) {
    struct Case {
        const char *mice;
        int count;
    } cases[] = {{"[]", 0}, {"[1]", 1}, {"[0, 1, 2]", 3}};
    for (const Case &c : cases) {
        Usb u = usb(devices("[]", c.mice), 5);
        EXPECT_EQ(u.result, 5 + c.count) << c.mice;
        EXPECT_EQ(u.run.out(), "") << c.mice;
        EXPECT_TRUE(u.run.events("fs", "mkdir").empty());
    }
}

TEST(Usb, AFailedStatfsTakesTheDeviceBackOut) {
    Usb u = usb(devices(R"([{"name": "msa1", "statfs": "fails"}, "msb1"])"));
    EXPECT_EQ(u.result, 1);
    EXPECT_EQ(u.run.out(), "Failed to statfs/dev/msb1 剩余空间 = 3884M\n");
    auto umount = u.run.events("usb", "umount");
    ASSERT_EQ(umount.size(), 2u);
    EXPECT_EQ(umount[0].data["target"], "/mnt/msa1") << "unmounted after the failure too";
    EXPECT_EQ(umount[0].data["result"], 0);
}

TEST(Usb, FreeSpaceFigures) {
    struct Case {
        long long block_size, free_blocks;
        const char *shown;
    } cases[] = {
        {4096, 1000000, "3884M"},       // the worked example
        {512, 1000000, "485M"},         //
        {4096, 5000 + 1024, "4M"},      // the first whole unit above the reserve
        {4096, 5000 + 1023, "0M"},      //
        {4096, 5000, "0M"},             // clamped, not wrapped
        {4096, 4999, "0M"},             //
        {32768, 0, "0M"},               //
        {32768, 200000000, "6249824M"}, // past 32 bits in the middle of the sum
        {65536, 0xFFFFFFFFLL, "268435136M"},
    };
    for (const Case &c : cases) {
        Usb u = usb(devices(R"([{"name": "msa1", "block_size": )" + std::to_string(c.block_size) +
                            R"(, "free_blocks": )" + std::to_string(c.free_blocks) + "}]"));
        EXPECT_EQ(u.run.out(), "/dev/msa1 剩余空间 = " + std::string(c.shown) + "\n")
            << c.block_size << " x " << c.free_blocks;
    }
}

TEST(Usb, MountFallBacks) {
    // The mount call fails and the mount program works: the disk's figures.
    Usb fallback = usb(devices(R"([{"name": "msa1", "mount": "fallback", "free_blocks": 6024}])"));
    EXPECT_EQ(fallback.result, 1);
    EXPECT_EQ(fallback.run.out(), "/dev/msa1 剩余空间 = 4M\n");
    auto programs = fallback.run.events("usb", "program");
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].data["argv"],
              nlohmann::json({"mount", "-t", "vfat", "/dev/msa1", "/mnt/msa1"}));
    EXPECT_EQ(programs[0].data["status"], 0);

    // Both fail: the mount point is still /mnt's own file system, whose
    // free space would pass for the stick's. Not counted, nothing unmounted.
    Usb both = usb(R"({"usb": {"mice": [], "devices": [{"name": "msa1", "mount": "fails"}],
                               "root_fs": {"block_size": 1024, "free_blocks": 15240}}})");
    EXPECT_EQ(both.result, 0);
    EXPECT_EQ(both.run.out(), "Failed to mount");
    EXPECT_TRUE(mounted(both.run).empty());
    EXPECT_TRUE(both.run.events("usb", "umount").empty());
}

TEST(Usb, AnExistingMountPointIsUsed) {
    Usb u = usb(devices(R"(["msa1"])"), 0, [](sim::Kernel &k) { k.vfs().add_dir("/mnt/msa1"); });
    EXPECT_EQ(u.result, 1);
    EXPECT_EQ(u.run.out(), "/dev/msa1 剩余空间 = 3884M\n");
    auto programs = u.run.events("usb", "program");
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].data["argv"], nlohmann::json({"mkdir", "/mnt/msa1"}));
    EXPECT_EQ(mounted(u.run), std::vector<std::string>{"/dev/msa1"});
}

TEST(Usb, WithoutMntNothingCanBeMeasured) {
    Usb u = usb(R"({"usb": {"mice": [0], "devices": ["msa1"], "mnt": "absent"}})");
    EXPECT_EQ(u.result, 1) << "the mouse stays, the disk is taken back out";
    EXPECT_EQ(u.run.out(), "Failed to mount");
}

TEST(Usb, ADeviceNameNeverReachesAShell) {
    // The mkdir call fails for every mount point and the mount call for
    // every disk, so both fall-backs run for each hostile name.
    const std::vector<std::string> names = {"ms;reboot", "ms$(x)", "ms`x` y", "ms&&x|y>z"};
    std::string list;
    for (const auto &n : names)
        list += std::string(list.empty() ? "" : ", ") + nlohmann::json(n).dump();
    std::string scenario = R"({"usb": {"mice": [], "devices": [)" + list + R"(]},
        "faults": [{"call": "mkdir", "every": true}, {"call": "mount", "every": true}]})";
    int rebooted = 0;
    Usb u = usb(scenario, 0, [&](sim::Kernel &k) {
        for (const char *prog : {"reboot", "x", "y", "z"})
            k.add_program(prog, [&](const std::vector<std::string> &) {
                ++rebooted;
                return 0;
            });
    });
    EXPECT_EQ(rebooted, 0);
    EXPECT_TRUE(u.run.events("shell", "system").empty());
    auto runs = u.run.events("shell", "run");
    ASSERT_EQ(runs.size(), 2 * names.size());
    std::string expected_out;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string dev = "/dev/" + names[i], mnt = "/mnt/" + names[i];
        EXPECT_EQ(runs[2 * i].data["argv"], nlohmann::json({"mkdir", mnt}));
        EXPECT_EQ(runs[2 * i + 1].data["argv"], nlohmann::json({"mount", "-t", "vfat", dev, mnt}));
        expected_out += dev + " 剩余空间 = 3884M\n";
    }
    EXPECT_EQ(u.run.out(), expected_out) << "each disk mounted by name, as it is";
    EXPECT_EQ(u.result, static_cast<int>(names.size()));
}

TEST(Usb, LongNamesAreCutTo49Characters) {
    std::string name = "ms" + std::string(60, 'q');
    Usb u = usb(devices(R"([")" + name + R"("])"));
    EXPECT_EQ(u.result, 0) << "the cut name leads to no device, so nothing mounts";
    auto mk = u.run.events("fs", "mkdir");
    ASSERT_EQ(mk.size(), 1u);
    EXPECT_EQ(mk[0].data["path"], "/mnt/" + name.substr(0, 49));
}

TEST(Usb, AnUnreadableDevDirectory) {
    Usb u = usb(R"({"usb": {"mice": [0, 1]},
                    "faults": [{"call": "opendir", "path": "/dev", "errno": "EACCES"}]})",
                2);
    EXPECT_EQ(u.run.result.code, 0);
    EXPECT_EQ(u.result, 2) << "not even the mice are counted";
    const auto &writes = u.run.kernel->console();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].fd, 2);
    EXPECT_EQ(writes[0].bytes, "can not open directory /proc\n");
    EXPECT_EQ(writes[0].bytes.size(), 29u);
}

} // namespace
