// Descriptors: over a whole run and over test 10, only what the program
// keeps open by design outlives its use: the panel link from the set-up
// on, and from the RS-485 step on that port and its board I/O descriptor.
#include "robustness.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr int STREAMS = 3; // standard input, output and error
constexpr int PANEL_LINK = 1;
constexpr int RS485_KEPT = 2;
// What one use opens at once besides those (a disk and the image file).
constexpr int TRANSIENT = 2;

// The descriptors open as each step heading and the closing line of the
// whole run were printed, by heading.
std::map<std::string, int> at_headings(const robustness::Run &r) {
    std::map<std::string, int> out;
    const auto &writes = r.console();
    for (size_t i = 0; i < writes.size() && i < r.descriptors_at_write.size(); ++i) {
        const std::string &b = writes[i].bytes;
        if (b.rfind("第", 0) == 0 && b.find("步:") != std::string::npos)
            out[b.substr(0, b.find("步:"))] = r.descriptors_at_write[i];
        if (b.rfind("测试结束", 0) == 0)
            out["end"] = r.descriptors_at_write[i];
    }
    return out;
}

TEST(Descriptors, TheWholeRunKeepsOnlyThePanelLinkAndTheRs485PortAndDriverOpen) {
    robustness::Run r = robustness::run("{}");
    ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << r.result.describe();
    std::map<std::string, int> seen = at_headings(r);
    std::map<std::string, int> want;
    for (int step = 1; step <= 7; ++step)
        want["第" + std::to_string(step)] = STREAMS + PANEL_LINK;
    want["end"] = STREAMS + PANEL_LINK + RS485_KEPT;
    EXPECT_EQ(seen, want);
    EXPECT_EQ(r.descriptors_at_exit, STREAMS + PANEL_LINK + RS485_KEPT);
    EXPECT_LE(r.peak_descriptors, STREAMS + PANEL_LINK + RS485_KEPT + TRANSIENT);
}

// Failures on the way must not leave descriptors behind either.
TEST(Descriptors, AFailedCheckLeavesNothingOpen) {
    const char *const scenarios[] = {
        R"({"alarm": {"read_error": "EIO"}})",
        R"({"rtc": {"missing": true}})",
        R"({"net": {"eth1": {"link": false}}})",
        R"({"faults": [{"call": "ioctl", "path": "/dev/rtc", "errno": "EIO", "every": true}]})",
        R"({"faults": [{"call": "statfs", "errno": "EIO"}]})",
        R"({"faults": [{"call": "ioctl", "path": "/dev/sdb", "request": "0x31F", "errno": "EIO"}]})",
        R"({"rs485": {"fixture": "disconnected"}})",
    };
    for (const char *s : scenarios) {
        robustness::Run r = robustness::run(s);
        ASSERT_EQ(r.result.end, sim::RunResult::End::Exited) << s << ": " << r.result.describe();
        EXPECT_EQ(r.descriptors_at_exit, STREAMS + PANEL_LINK + RS485_KEPT) << s;
        std::map<std::string, int> seen = at_headings(r);
        for (int step = 1; step <= 7; ++step)
            EXPECT_EQ(seen["第" + std::to_string(step)], STREAMS + PANEL_LINK) << s << " " << step;
    }
}

TEST(Descriptors, TestTenClosesEveryDiskAndTheImage) {
    struct Case {
        const char *name;
        const char *scenario;
    };
    const Case cases[] = {
        {"identical flash", "{}"},
        {"flash rewritten",
         R"({"disks": {"drives": ["sda"], "chips": [{"flash": {"differ": [65532]}}]}})"},
        {"two chips, one rewritten and reset",
         R"({"board": {"info": {"sataCode": 7}},
             "disks": {"drives": ["sda", "sdb", "sde"], "chips": [{}, {"flash": {"contents": "blank"}}]}})"},
        {"no image", R"({"disks": {"image": {"missing": true}}})"},
        {"no multiplier answers", R"({"disks": {"drives": ["sda"], "chips": [{"absent": true}]}})"},
        {"programming fails half way",
         R"({"disks": {"drives": ["sda"], "chips": [{"flash": {"differ": [0]},
             "request_faults": [{"kind": "PP", "nth": 8197, "errno": "EIO"}]}]}})"},
        {"no disk", R"({"disks": {"drives": []}})"},
    };
    for (const Case &c : cases) {
        robustness::Run r = robustness::run(c.scenario, {"-o", "10"});
        ASSERT_EQ(r.result.end, sim::RunResult::End::Exited)
            << c.name << ": " << r.result.describe();
        EXPECT_EQ(r.descriptors_at_exit, STREAMS + PANEL_LINK) << c.name;
        EXPECT_LE(r.peak_descriptors, STREAMS + PANEL_LINK + TRANSIENT) << c.name;
    }
}

} // namespace
