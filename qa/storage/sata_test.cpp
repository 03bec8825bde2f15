// Test 8: which names are tried, what each answering disk prints, how the
// capacity is worked out and printed, and the kernel version it depends on.
#include "storage_support.h"

#include "board/boardinfo.h"
#include "driver/result.h"
#include "platform/linux_backend.h"

#include <gtest/gtest.h>

#include <cstring>
#include <linux/hdreg.h>

namespace {

using namespace storageqa;

struct SataRun {
    qa::SimRun run;
    int count = -1; // sataResult afterwards
    std::string out() const { return run.out(); }
    std::vector<std::string> size_requests() const {
        std::vector<std::string> out;
        for (const auto &e : run.events("disk", "size"))
            out.push_back(e.data["request"]);
        return out;
    }
};

SataRun sata(int port_num, const std::string &scenario) {
    SataRun s;
    s.run = qa::run_routine(scenario, [&] {
        sata_port_num = static_cast<uint8_t>(port_num);
        satatest();
        s.count = sataResult;
        return 0;
    });
    return s;
}

std::string report(const char *name, const std::string &serial, const std::string &model,
                   const std::string &firmware, const char *gb) {
    auto pad = [](std::string s, size_t n) {
        s.resize(n, ' ');
        return s;
    };
    return std::string(name) + "\n序列号    :" + pad(serial, 20) +
           "\n型号      :" + pad(model, 40) + "\n固件版本  :" + pad(firmware, 8) +
           "\n硬盘容量  :" + gb + "GB\n";
}

TEST(Satatest, NamesTriedForEachPortCount) {
    const std::pair<int, int> cases[] = {{0, 1}, {2, 3}, {4, 5}, {5, 6},
                                         {6, 7}, {7, 8}, {8, 9}, {9, 9}};
    for (auto [ports, names] : cases) {
        SCOPED_TRACE(ports);
        SataRun s = sata(ports, board({{"drives", json::array()}}));
        std::string expected;
        for (int i = 0; i < names; ++i)
            expected += std::string("open /dev/sd") + char('a' + i) + " failed\n";
        EXPECT_EQ(s.out(), expected);
        EXPECT_EQ(s.count, 0);
    }
}

TEST(Satatest, ReportsEachDiskWithItsPaddingAndCountsThem) {
    json d = {
        {"drives",
         {{{"name", "sda"}, {"serial", "ABC12"}, {"model", "TEST MODEL X"}, {"firmware", "1.0"}},
          {{"name", "sdc"},
           {"serial", "S3Z9NB0K123456789012"},
           {"model", "Samsung SSD 860 EVO 250GB"},
           {"firmware", "RVT01B6Q"},
           {"bytes", 250059350016}}}}};
    SataRun s = sata(5, board(d));
    EXPECT_EQ(s.out(), report("/dev/sda", "ABC12", "TEST MODEL X", "1.0", "465") +
                           "open /dev/sdb failed\n" +
                           report("/dev/sdc", "S3Z9NB0K123456789012", "Samsung SSD 860 EVO 250GB",
                                  "RVT01B6Q", "232") +
                           "open /dev/sdd failed\nopen /dev/sde failed\nopen /dev/sdf failed\n");
    EXPECT_EQ(s.count, 2);
}

TEST(Satatest, DiskThatRejectsIdentifyIsSkippedUncounted) {
    SataRun s = sata(0, board({{"drives", {{{"name", "sda"}, {"rejects_identify", true}}}}}));
    EXPECT_EQ(s.out(), "send IDENTIFY DEVICE command, return -1\n");
    EXPECT_EQ(s.count, 0);
    EXPECT_TRUE(s.size_requests().empty());
}

TEST(Satatest, IdentifyArgumentIsLaidOutForHdioDriveCmd) {
    SataRun s = sata(0, "{}");
    auto ev = s.run.events("disk", "identify");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].data["args"], "EC 00 00 01") << "command, sector count, features, sectors";
    EXPECT_EQ(ev[0].data["result"], 0);
    EXPECT_EQ(s.count, 1);

    // The disk holds the layout to account: no data sector asked for is an
    // argument the kernel would not fill.
    int rc = 0, err = 0;
    qa::run_routine("{}", [&] {
        uint8_t args[516] = {0xEC, 0, 0, 0};
        int fd = sys::open("/dev/sda", O_RDWR | O_NONBLOCK);
        rc = sys::ioctl(fd, HDIO_DRIVE_CMD, args);
        err = errno;
        return 0;
    });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINVAL);
}

struct Capacity {
    const char *name;
    json drive;
    json faults;
    std::string lines; // after the firmware line
    std::vector<std::string> requests;
};

TEST(Satatest, CapacityIsTruncatedToWholeGigabytesAndFailuresStillCount) {
    const std::string all_ones = "硬盘容量  :17179869183GB\n";
    const Capacity cases[] = {
        {"500GB", {{"bytes", 500107862016}}, nullptr, "硬盘容量  :465GB\n", {"BLKGETSIZE64"}},
        {"JustUnder1GiB", {{"bytes", 1073741823}}, nullptr, "硬盘容量  :0GB\n", {"BLKGETSIZE64"}},
        {"Exactly1GiB", {{"bytes", 1073741824}}, nullptr, "硬盘容量  :1GB\n", {"BLKGETSIZE64"}},
        {"SizeQueryFails",
         {{"size_fails", true}},
         nullptr,
         "Can not get /dev/sda size \n" + all_ones,
         {"BLKGETSIZE64", "BLKGETSIZE"}},
        {"FallsBackToSectorCount",
         {{"getsize64_fails", true}},
         nullptr,
         "硬盘容量  :465GB\n",
         {"BLKGETSIZE64", "BLKGETSIZE"}},
        {"SecondOpenFails",
         json::object(),
         {{{"call", "open"}, {"path", "/dev/sda"}, {"nth", 2}, {"errno", "EBUSY"}}},
         "Can not open /dev/sda \n" + all_ones,
         {}},
    };
    for (const Capacity &c : cases) {
        SCOPED_TRACE(c.name);
        json drive = c.drive;
        drive["name"] = "sda";
        json rest = json::object();
        if (!c.faults.is_null())
            rest["faults"] = c.faults;
        SataRun s = sata(0, board({{"drives", {drive}}}, rest));
        std::string out = s.out();
        size_t at = out.find("\n固件版本  :");
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_EQ(out.substr(at + std::strlen("\n固件版本  :") + 9), c.lines);
        EXPECT_EQ(s.count, 1);
        EXPECT_EQ(s.size_requests(), c.requests);
    }
}

TEST(Satatest, KernelReleaseChoosesTheSizeRequest) {
    struct Case {
        const char *release;
        int32_t code;
        const char *request;
    };
    const Case cases[] = {
        {"2.6.37", 0x020625, "BLKGETSIZE64"}, {"2.6", 0, "BLKGETSIZE"},
        {"2.4.18", 0x020412, "BLKGETSIZE64"}, {"2.4.17", 0x020411, "BLKGETSIZE"},
        {"2.5.3", 0x020503, "BLKGETSIZE"},    {"3.2.0-4-armmp", 0x030200, "BLKGETSIZE64"},
        {"linux", 0, "BLKGETSIZE"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.release);
        int32_t code = -2;
        uint64_t bytes = 0;
        qa::SimRun r = qa::run_routine(
            board({{"drives", {"sda"}}}, {{"system", {{"kernel_release", c.release}}}}), [&] {
                code = getkernelver();
                bytes = getdisksize(0);
                return 0;
            });
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(bytes, 500107862016ULL);
        auto ev = r.events("disk", "size");
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(ev[0].data["request"], c.request);
    }
}

TEST(Satatest, KernelVersionIsWorkedOutOncePerProcess) {
    // uname fails only the first time: a second look would find 2.6.37.
    int32_t first = -2, second = -2;
    qa::run_routine(R"({"faults": [{"call": "uname", "nth": 1, "errno": "EFAULT"}]})", [&] {
        first = getkernelver();
        second = getkernelver();
        return 0;
    });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);

    int32_t next_process = -2;
    qa::run_routine("{}", [&] {
        next_process = getkernelver();
        return 0;
    });
    EXPECT_EQ(next_process, 0x020625) << "a new process starts without the cached value";
}

TEST(Satatest, WholeRunStepSixReportsTheHealthyBoardsDisks) {
    qa::SimRun r = qa::run_ftq("{}");
    std::string out = r.out();
    size_t step = out.find("第6步:SATA硬盘测试\n");
    ASSERT_NE(step, std::string::npos);
    std::string expected =
        "第6步:SATA硬盘测试\n" +
        report("/dev/sda", "WD-WCC2EFA12345", "WDC WD5000AAKX-00ERMA0", "15.01H15", "465");
    EXPECT_EQ(out.substr(step, expected.size()), expected);
    EXPECT_NE(out.find("open /dev/sdf failed\n\n第7步:"), std::string::npos);
    EXPECT_NE(out.find("SATA口      : 5 \n"), std::string::npos);
}

TEST(AtacmdOnLinux, RefusedRequestLeavesTheBlockUntouched) {
    static sys::LinuxBackend backend;
    sys::install(&backend);
    int fd = sys::open("/dev/null", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    uint8_t block[512];
    std::memset(block, 0x5A, sizeof block);
    EXPECT_EQ(atacmd(fd, 0xEC, block), -1);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 512), std::vector<uint8_t>(512, 0x5A));
    sys::close(fd);
    sys::install(nullptr);
}

} // namespace
