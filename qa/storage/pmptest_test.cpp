// Test 10 end to end: which disks the scan opens for which chip, what the
// chip lines report, and when a chip is reset.
#include "storage_support.h"

#include <gtest/gtest.h>

namespace {

using namespace storageqa;

// Board with the given sata code (sata_port_num 5 for code 3, 9 for 7) and
// disks section.
std::string board_with(int sata_code, const json &disks) {
    return board(disks, {{"board", {{"info", {{"sataCode", sata_code}}}}}});
}

// Test 10's own output, from its first line on.
std::string test10_out(const qa::SimRun &r) {
    std::string out = r.out();
    size_t at = out.find("sata_port_num = ");
    return at == std::string::npos ? out : out.substr(at);
}

std::string head(const std::string &out, const std::string &expected) {
    return out.substr(0, expected.size());
}

std::string tail(const std::string &out, const std::string &expected) {
    return out.size() < expected.size() ? out : out.substr(out.size() - expected.size());
}

json small_image() {
    return {{"length", 1024}};
}

json chip(json flash = json::object()) {
    return {{"flash", flash}};
}

std::vector<std::string> disks_used(const qa::SimRun &r, int chip_number) {
    std::vector<std::string> out;
    for (const auto &e : r.events("pmp", "counts"))
        if (e.data["chip"] == chip_number)
            out.push_back(e.data["disk"]);
    return out;
}

TEST(Test10OneChip, RunsTwiceThroughSdaAndSdeWithoutReset) {
    // Blank: the first run programs the flash, the second finds it equal.
    json d = {{"chips", {chip({{"contents", "blank"}})}}, {"image", small_image()}};
    qa::SimRun r = qa::run_ftq(board_with(3, d), {"-o", "10"});
    std::string out = test10_out(r);
    const std::string start = "sata_port_num = 5 \nopen /dev/sda success!\nINFO: ";
    EXPECT_EQ(head(out, start), start);
    EXPECT_EQ(count_of(out, "INFO: Finish\n"), 2u);
    EXPECT_EQ(count_of(out, "INFO: Upload complete\n"), 1u);
    EXPECT_EQ(count_of(out, "INFO: Flash #1 is the same as binary file\n"), 1u);
    EXPECT_EQ(count_of(out, "success!"), 1u) << "the second scan announces nothing";
    EXPECT_EQ(disks_used(r, 1), (std::vector<std::string>{"sda", "sde"}));
    EXPECT_TRUE(r.events("vexio", "pmp_reset").empty()) << "one-chip boards are not reset";
    const std::string end = "INFO: Finish\n测试结果如下\nChip1 正常\n";
    EXPECT_EQ(tail(out, end), end);
    EXPECT_EQ(r.result.code, 0);
}

TEST(Test10OneChip, ChipLineReportsTheSecondRun) {
    struct Case {
        int failing_register_read; // 1: the first run fails, 5: the second
        const char *line;
    };
    for (const Case &c : {Case{1, "Chip1 正常\n"}, Case{5, "Chip1 发生错误\n"}}) {
        SCOPED_TRACE(c.failing_register_read);
        json faulty = chip();
        faulty["request_faults"] = {
            {{"kind", "register_read"}, {"nth", c.failing_register_read}, {"errno", "EIO"}}};
        json d = {{"chips", {faulty}}, {"image", small_image()}};
        qa::SimRun r = qa::run_ftq(board_with(3, d), {"-o", "10"});
        std::string out = test10_out(r);
        EXPECT_EQ(count_of(out, "ERR : main, check 39x device fail\n"), 1u);
        EXPECT_EQ(tail(out, c.line), c.line);
    }
}

TEST(Test10OneChip, ScansPastMissingDisks) {
    json d = {{"drives", {"sdc"}}, {"image", small_image()}};
    qa::SimRun r = qa::run_ftq(board_with(3, d), {"-o", "10"});
    std::string out = test10_out(r);
    const std::string start = "sata_port_num = 5 \n"
                              "open /dev/sda fail!\n"
                              "open /dev/sdb fail!\n"
                              "open /dev/sdc success!\n"
                              "INFO: ";
    EXPECT_EQ(head(out, start), start);
    const std::string end = "INFO: Finish\n"
                            "open /dev/sde fail!\n"
                            "open /dev/sdf fail!\n"
                            "open /dev/sdg fail!\n"
                            "open /dev/sdh fail!\n"
                            "open /dev/sdi fail!\n"
                            "测试结果如下\n"
                            "Chip1 正常\n";
    EXPECT_EQ(tail(out, end), end);
    EXPECT_EQ(disks_used(r, 1), (std::vector<std::string>{"sdc"}));
}

TEST(Test10OneChip, NoDiskLeavesTheChipUntested) {
    qa::SimRun r = qa::run_ftq(board_with(3, {{"drives", json::array()}}), {"-o", "10"});
    std::string expected = "sata_port_num = 5 \n";
    for (char c : std::string("abcde"))
        expected += std::string("open /dev/sd") + c + " fail!\n";
    for (char c : std::string("efghi"))
        expected += std::string("open /dev/sd") + c + " fail!\n";
    expected += "测试结果如下\nChip1 未进行测试\n";
    EXPECT_EQ(test10_out(r), expected);
}

TEST(Test10TwoChips, OneDiskPerChipAndTheOthersSkippedSilently) {
    json d = {
        {"chips", {chip(), chip()}}, {"drives", {"sda", "sdb", "sdf"}}, {"image", small_image()}};
    qa::SimRun r = qa::run_ftq(board_with(7, d), {"-o", "10"});
    std::string out = test10_out(r);
    const std::string start = "sata_port_num = 9 \ntest..1\r\nopen /dev/sda success!\nINFO: ";
    EXPECT_EQ(head(out, start), start);
    EXPECT_NE(out.find("INFO: Finish\ntest..2\r\nopen /dev/sdf success!\n"), std::string::npos);
    EXPECT_EQ(out.find("sdb"), std::string::npos);
    EXPECT_EQ(disks_used(r, 1), (std::vector<std::string>{"sda"}));
    EXPECT_EQ(disks_used(r, 2), (std::vector<std::string>{"sdf"}));
    const std::string end = "INFO: Finish\n测试结果如下\nChip1 正常\nChip2 正常\n";
    EXPECT_EQ(tail(out, end), end);
    EXPECT_TRUE(r.events("vexio", "pmp_reset").empty()) << "nothing was rewritten";
}

TEST(Test10TwoChips, ChipIsResetOnlyAfterItsFlashWasRewritten) {
    struct Case {
        const char *name;
        json chip1, chip2;
        std::vector<int> masks;
        const char *lines;
    };
    const json blank = chip({{"contents", "blank"}});
    json absent = chip();
    absent["absent"] = true;
    const Case cases[] = {
        {"FirstRewritten", blank, chip(), {0x100}, "Chip1 正常\nChip2 正常\n"},
        {"SecondRewritten", chip(), blank, {0x80}, "Chip1 正常\nChip2 正常\n"},
        {"BothRewritten", blank, blank, {0x100, 0x80}, "Chip1 正常\nChip2 正常\n"},
        {"FirstFailsSecondRewritten", absent, blank, {0x80}, "Chip1 发生错误\nChip2 正常\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        json d = {{"chips", {c.chip1, c.chip2}},
                  {"drives", {"sdb", "sdi", "sdh"}},
                  {"image", small_image()}};
        qa::SimRun r = qa::run_ftq(board_with(7, d), {"-o", "10"});
        std::vector<int> masks;
        for (const auto &e : r.events("vexio", "pmp_reset"))
            masks.push_back(e.data["mask"]);
        EXPECT_EQ(masks, c.masks);
        std::vector<int> chips;
        for (const auto &e : r.events("pmp", "reset"))
            chips.push_back(e.data["chip"]);
        EXPECT_EQ(chips.size(), c.masks.size());
        for (const auto &e : r.events("pmp", "reset"))
            EXPECT_TRUE(e.data["flash_header"]) << "reset into the new firmware";
        std::string out = test10_out(r);
        EXPECT_EQ(count_of(out, "update the firmware success, now reset the jmb321!\r\n"),
                  c.masks.size());
        EXPECT_EQ(disks_used(r, 1), (std::vector<std::string>{"sdb"})) << "sdi is skipped";
        EXPECT_EQ(tail(out, c.lines), c.lines);
    }
}

TEST(Test10OtherBoards, WrongPortNumberTestsNothing) {
    // sata codes 0, 1, 2, 4, 5, 6 give 0, 2, 4, 6, 7, 8 ports.
    const int codes[] = {0, 1, 2, 4, 5, 6};
    const int ports[] = {0, 2, 4, 6, 7, 8};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(ports[i]);
        qa::SimRun r = qa::run_ftq(board_with(codes[i], json::object()), {"-o", "10"});
        EXPECT_EQ(test10_out(r), "sata_port_num = " + std::to_string(ports[i]) +
                                     " \nwrong sata port num!\r\n测试结果如下\nChip1 未进行测试\n");
        EXPECT_EQ(disks(r).chip(1).counters().requests, 0u);
        EXPECT_EQ(r.result.code, 0);
    }
}

} // namespace
