// The firmware check and update of one multiplier: its decision table, the
// checks that must pass before the flash is touched, the transcript the
// operator reads, and the descriptors it must give back on every path.
#include "storage_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace storageqa;

// What every run on the healthy chip prints before it looks at the flash,
// for a 2048-byte image.
const std::string CHIP_OK = "INFO: JMB39X device exist\n"
                            "INFO: JMB39X CHIP ID = 32h, Revision ID = 01h\n";
const std::string FILE_OK = "INFO: Binfile ID = 32h 197Bh\n"
                            "INFO: Revision ID = 01h\n"
                            "INFO: Bonding = 05h\n"
                            "INFO: Binfile length = 2048 bytes\n";
const std::string UPLOAD_2048 = "INFO: Upload flash #1\n"
                                "....\n"
                                "INFO: Total upload size = 2048\n"
                                "INFO: Read back flash #1\n"
                                "....\n"
                                "INFO: Upload complete\n";

json fast_flash(json flash = json::object()) {
    flash["busy_reads"] = {{"program", 0}, {"erase", 3}, {"status_write", 1}};
    return flash;
}

uint32_t word_at(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// The verifier's line for a difference at `at`, as the image and the flash
// the scenario started with give it.
std::string verify_fail(const std::vector<uint8_t> &img, size_t at, uint32_t flash_word) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "WRN : verifycode, verify fail (%08Xh) (JMB39X = %08Xh, binfile = "
                  "%02X%02X%02X%02Xh)\n",
                  unsigned(at), flash_word, img[at + 3], img[at + 2], img[at + 1], img[at]);
    return line;
}

sim::FirmwareImage image_2048() {
    sim::FirmwareImage wanted;
    wanted.length = 2048;
    return wanted;
}

struct Row {
    const char *name;
    json flash;
    int result;
    int flag;
    uint64_t erases;
    std::string tail; // after the chip and file checks
};

void PrintTo(const Row &r, std::ostream *os) {
    *os << r.name;
}

class DecisionTable : public ::testing::TestWithParam<Row> {};

TEST_P(DecisionTable, ResultFlagTranscriptAndFlashAfterwards) {
    const Row &row = GetParam();
    UpdateRun u = update(board(one_chip(fast_flash(row.flash))));
    ASSERT_EQ(u.updates.size(), 1u);
    const Update &up = u.updates[0];
    EXPECT_EQ(up.result, row.result);
    EXPECT_EQ(up.flag, row.flag);
    EXPECT_EQ(u.out(), CHIP_OK + FILE_OK + row.tail);
    EXPECT_EQ(u.counters().chip_erase, row.erases);
    if (row.result == 0) {
        EXPECT_TRUE(flash_holds_image(u.run)) << "a successful run leaves the image in the flash";
    }
    EXPECT_EQ(up.open_after, up.open_before);
}

std::vector<Row> decision_rows() {
    std::vector<uint8_t> img;
    {
        std::string s = sim::make_firmware_image(image_2048());
        img.assign(s.begin(), s.end());
    }
    return {
        {"HeaderAndSameContents", json::object(), 0, 0, 0,
         "INFO: Flash is found by chk1\n"
         "INFO: Verify flash #1\n"
         "....\n"
         "INFO: Total verify size = 2048\n"
         "INFO: Verify complete\n"
         "INFO: Flash #1 is the same as binary file\n"
         "INFO: Finish\n"},
        {"HeaderAndOtherContents",
         {{"differ", {0x100}}},
         0,
         1,
         1,
         "INFO: Flash is found by chk1\n"
         "INFO: Verify flash #1\n" +
             verify_fail(img, 0x100, ~word_at(img, 0x100)) +
             "INFO: Total verify size = 256\n"
             "WRN : verifycode, verify not complete\n" +
             UPLOAD_2048 + "INFO: Finish\n"},
        {"BlankProgrammedWithoutVerify",
         {{"contents", "blank"}},
         0,
         1,
         2,
         "WRN : chkflashsts, chk1 fail, try chk0 (FFFFFFFF)\n"
         "INFO: Flash is found by chk0\n" +
             UPLOAD_2048 + "INFO: Finish\n"},
        // Bit 7 of byte 0 stuck at 1: the probe's first word reads back wrong.
        {"ProbeFails",
         {{"contents", "blank"}, {"stuck_bits", {{{"address", 0}, {"bit", 7}, {"value", 1}}}}},
         -1,
         0,
         1,
         "WRN : chkflashsts, chk1 fail, try chk0 (FFFFFFFF)\n"
         "ERR : chkflashsts, chk0 fail, (00010283 FFFEFDFC 55AA55AA F00FFF00)\n"
         "ERR : main, check flash status fail\n"
         "INFO: Finish\n"},
    };
}

INSTANTIATE_TEST_SUITE_P(Pmpupdate, DecisionTable, ::testing::ValuesIn(decision_rows()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pmpupdate, MissingImageClosesTheDiskAndPrintsNoFinish) {
    json d = one_chip(fast_flash({{"contents", "blank"}}));
    d["image"]["missing"] = true;
    UpdateRun u = update(board(d));
    EXPECT_EQ(u.updates[0].result, -1);
    EXPECT_EQ(u.updates[0].flag, 0);
    EXPECT_EQ(u.out(), "ERR : open config binfile fail\n");
    EXPECT_EQ(u.counters().requests, 0u);
    EXPECT_EQ(u.updates[0].open_after, u.updates[0].open_before);
}

struct Rejected {
    const char *name;
    json chip;  // fields of the chip besides its flash
    json image; // fields of the image besides its length
    std::string out;
};

void PrintTo(const Rejected &r, std::ostream *os) {
    *os << r.name;
}

class CheckFails : public ::testing::TestWithParam<Rejected> {};

TEST_P(CheckFails, BeforeAnyFlashCommand) {
    const Rejected &c = GetParam();
    json d = one_chip(fast_flash({{"contents", "blank"}}), 2048, c.image);
    d["chips"][0].update(c.chip);
    UpdateRun u = update(board(d));
    EXPECT_EQ(u.updates[0].result, -1);
    EXPECT_EQ(u.updates[0].flag, 0);
    EXPECT_EQ(u.out(), c.out);
    const sim::PmpCounters &n = u.counters();
    EXPECT_EQ(n.write_enable + n.chip_erase + n.program + n.status_write + n.read, 0u)
        << "no SPI command may reach the flash";
    EXPECT_TRUE(u.run.events("pmp", "erase").empty());
    EXPECT_EQ(flash_head(u.run, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(u.updates[0].open_after, u.updates[0].open_before);
}

const std::string FILE_FAIL = "ERR : main, check binary file fail\nINFO: Finish\n";
const std::string CHIP_FAIL = "ERR : main, check 39x device fail\nINFO: Finish\n";

INSTANTIATE_TEST_SUITE_P(
    Pmpupdate, CheckFails,
    ::testing::Values(
        Rejected{"ChipAbsent",
                 {{"absent", true}},
                 json::object(),
                 "ERR : pmprw, ioctl fail (5)\nERR : chk39xdev, read JMB39X fail1\n" + CHIP_FAIL},
        Rejected{"NoJmb39x",
                 {{"presence", 0x00}},
                 json::object(),
                 "ERR : JMB39X device doesn't exist (00000000h)\n" + CHIP_FAIL},
        Rejected{"RevisionUnreadable",
                 {{"request_faults", {{{"kind", "register_read"}, {"nth", 2}, {"errno", "EIO"}}}}},
                 json::object(),
                 "INFO: JMB39X device exist\nERR : pmprw, ioctl fail (5)\n"
                 "ERR : chk39xdev, read JMB39X fail2\n" +
                     CHIP_FAIL},
        Rejected{"Unaligned",
                 json::object(),
                 {{"length", 2050}},
                 CHIP_OK + "ERR : chkbinfile, length of binfile isn't alignment (2050)\n" +
                     FILE_FAIL},
        Rejected{"TwentyEightBytes",
                 json::object(),
                 {{"length", 28}},
                 CHIP_OK + "ERR : chkbinfile, too few data when read binfile (< 32 bytes)\n" +
                     FILE_FAIL},
        Rejected{"WrongChipId",
                 json::object(),
                 {{"chip_id", 0x33}},
                 CHIP_OK + "ERR : chkbinfile, binfile ID error (33h 197Bh)\n" + FILE_FAIL},
        Rejected{"WrongVendor",
                 json::object(),
                 {{"vendor", 0x197C}},
                 CHIP_OK + "ERR : chkbinfile, binfile ID error (32h 197Ch)\n" + FILE_FAIL},
        Rejected{"WrongBonding",
                 json::object(),
                 {{"bonding", 0x06}},
                 CHIP_OK +
                     "INFO: Binfile ID = 32h 197Bh\nINFO: Revision ID = 01h\n"
                     "ERR : chkbinfile, bonding is mismatch (JMB39X = 05h, binfile = 06h)\n" +
                     FILE_FAIL},
        Rejected{"BondingUnreadable",
                 {{"request_faults", {{{"kind", "register_read"}, {"nth", 4}, {"errno", "EIO"}}}}},
                 json::object(),
                 CHIP_OK +
                     "INFO: Binfile ID = 32h 197Bh\nINFO: Revision ID = 01h\n"
                     "ERR : pmprw, ioctl fail (5)\nERR : chkbinfile, read JMB39X fail2\n" +
                     FILE_FAIL},
        Rejected{"LengthPartsDisagree",
                 json::object(),
                 {{"length_parts", {1000, 1000}}},
                 CHIP_OK +
                     "INFO: Binfile ID = 32h 197Bh\nINFO: Revision ID = 01h\nINFO: Bonding = 05h\n"
                     "ERR : Binfine length is mismatch (exp: 2000, act: 2048)\n" +
                     FILE_FAIL}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Pmpupdate, UnalignedFileIsRefusedBeforeAnyByteOfItIsRead) {
    // Any read of the image would fail and say so.
    json faults = json::array();
    for (const char *call : {"read", "pread"})
        faults.push_back({{"call", call}, {"path", "/dav0/vex321.bin"}, {"every", true}});
    UpdateRun u = update(board(one_chip(fast_flash(), 2050), {{"faults", faults}}));
    EXPECT_EQ(u.out(), CHIP_OK + "ERR : chkbinfile, length of binfile isn't alignment (2050)\n" +
                           "ERR : main, check binary file fail\nINFO: Finish\n");
    EXPECT_TRUE(u.run.events("fault").empty());
}

TEST(Pmpupdate, RevisionWarningIsContinuedByTheBondingLine) {
    json d = one_chip(fast_flash(), 2048, {{"revision", 0x02}});
    UpdateRun u = update(board(d));
    EXPECT_NE(u.out().find("INFO: Binfile ID = 32h 197Bh\n"
                           "WRN : chkbinfile, revision ID is mismatch (JMB39X = 01h, binfile = "
                           "02h)\n"
                           "      continue!INFO: Bonding = 05h\n"
                           "INFO: Binfile length = 2048 bytes\n"),
              std::string::npos)
        << u.out();
}

TEST(Pmpupdate, RevisionMismatchReprogramsOnEveryRun) {
    // The flash holds this very file, whose header names revision 02h; the
    // chip says 01h, so the header is never recognised.
    json d = one_chip(fast_flash(), 2048, {{"revision", 0x02}});
    UpdateRun u = update(board(d), 3);
    for (const Update &up : u.updates) {
        EXPECT_EQ(up.result, 0);
        EXPECT_EQ(up.flag, 1);
        EXPECT_EQ(up.open_after, up.open_before);
    }
    EXPECT_EQ(count_of(u.out(), "WRN : chkflashsts, chk1 fail, try chk0 (3202197B)\n"), 3u);
    EXPECT_EQ(count_of(u.out(), "INFO: Verify flash"), 0u);
    EXPECT_EQ(u.counters().chip_erase, 6u) << "probe and upload, each run";
    EXPECT_TRUE(flash_holds_image(u.run));
}

TEST(Pmpupdate, IdenticalFlashPrintsOneDotPerBlock) {
    for (size_t length : {32u, 512u, 516u, 2000u, 65536u}) {
        SCOPED_TRACE(length);
        UpdateRun u = update(board(one_chip(fast_flash(), length)));
        size_t blocks = (length + 511) / 512;
        std::string expected = "INFO: Verify flash #1\n" + std::string(blocks, '.') +
                               "\nINFO: Total verify size = " + std::to_string(length) +
                               "\nINFO: Verify complete\n"
                               "INFO: Flash #1 is the same as binary file\n"
                               "INFO: Finish\n";
        std::string out = u.out();
        ASSERT_GE(out.size(), expected.size());
        EXPECT_EQ(out.substr(out.size() - expected.size()), expected);
        EXPECT_EQ(u.updates[0].result, 0);
        EXPECT_EQ(u.updates[0].flag, 0);
        EXPECT_EQ(u.counters().read, 1 + length / 4) << "the header word, then one per word";
        EXPECT_EQ(u.counters().write_enable, 0u);
    }
}

TEST(Pmpupdate, DifferenceInTheLastWordContinuesTheDotsAndReprograms) {
    UpdateRun u = update(board(one_chip(fast_flash({{"differ", {2044}}}))));
    std::vector<uint8_t> img = image_bytes(u.run);
    EXPECT_EQ(u.out(), CHIP_OK + FILE_OK +
                           "INFO: Flash is found by chk1\n"
                           "INFO: Verify flash #1\n"
                           "..." +
                           verify_fail(img, 2044, ~word_at(img, 2044)) +
                           "INFO: Total verify size = 2044\n"
                           "WRN : verifycode, verify not complete\n" +
                           UPLOAD_2048 + "INFO: Finish\n");
    EXPECT_EQ(u.updates[0].result, 0);
    EXPECT_EQ(u.updates[0].flag, 1);
    EXPECT_TRUE(flash_holds_image(u.run));
}

TEST(Pmpupdate, ProgramFailurePartwayIsRepairedByTheNextRun) {
    // Page programs 1-4 write the probe; the 7th is the image's third word.
    json d = one_chip(fast_flash({{"contents", "blank"}}));
    d["chips"][0]["request_faults"] = {{{"kind", "PP"}, {"nth", 7}, {"errno", "EIO"}}};
    UpdateRun u = update(board(d), 2);
    ASSERT_EQ(u.updates.size(), 2u);
    EXPECT_EQ(u.updates[0].result, -1);
    EXPECT_EQ(u.updates[0].flag, 0);
    EXPECT_EQ(u.updates[1].result, 0);
    EXPECT_EQ(u.updates[1].flag, 1);
    std::vector<uint8_t> img = image_bytes(u.run);
    std::string first = CHIP_OK + FILE_OK +
                        "WRN : chkflashsts, chk1 fail, try chk0 (FFFFFFFF)\n"
                        "INFO: Flash is found by chk0\n"
                        "INFO: Upload flash #1\n"
                        "ERR : pmprw, ioctl fail (5)\n"
                        "ERR : spiPP, spi JMB39X fail (5)\n"
                        "ERR : writeflash, spiPP fail (00000008h)\n"
                        "ERR : uploadcode, writeflash fail (00000008h)\n"
                        "INFO: Total upload size = 8\n"
                        "ERR : uploadcode, upload not complete\n"
                        "ERR : main, uploadcode fail\n"
                        "INFO: Finish\n";
    std::string second = CHIP_OK + FILE_OK +
                         "INFO: Flash is found by chk1\n"
                         "INFO: Verify flash #1\n" +
                         verify_fail(img, 8, 0xFFFFFFFF) +
                         "INFO: Total verify size = 8\n"
                         "WRN : verifycode, verify not complete\n" +
                         UPLOAD_2048 + "INFO: Finish\n";
    EXPECT_EQ(u.out(), first + second);
    EXPECT_TRUE(flash_holds_image(u.run));
}

struct Path {
    const char *name;
    json chip; // fields of the chip, flash included
    json image;
    int result;
};

void PrintTo(const Path &p, std::ostream *os) {
    *os << p.name;
}

class EveryPath : public ::testing::TestWithParam<Path> {};

TEST_P(EveryPath, ClosesTheDiskAndTheImage) {
    const Path &p = GetParam();
    json d = one_chip(fast_flash(), 1024, p.image);
    d["chips"][0].update(p.chip);
    if (p.chip.contains("flash")) {
        json flash = fast_flash(p.chip["flash"]);
        if (p.chip["flash"].contains("busy_reads"))
            flash["busy_reads"].update(p.chip["flash"]["busy_reads"]);
        d["chips"][0]["flash"] = flash;
    }
    UpdateRun u = update(board(d));
    EXPECT_EQ(u.updates[0].result, p.result) << u.out();
    EXPECT_EQ(u.updates[0].open_after, u.updates[0].open_before) << u.out();
}

json fault(const char *kind, int nth) {
    return {{"request_faults", {{{"kind", kind}, {"nth", nth}, {"errno", "EIO"}}}}};
}

json blank(json chip = json::object()) {
    chip["flash"] = {{"contents", "blank"}};
    return chip;
}

INSTANTIATE_TEST_SUITE_P(
    Pmpupdate, EveryPath,
    ::testing::Values(Path{"Identical", json::object(), json::object(), 0},
                      Path{"PresenceF8", {{"presence", 0xF8}}, json::object(), 0},
                      Path{"Blank", blank(), json::object(), 0},
                      Path{"MissingImage", json::object(), {{"missing", true}}, -1},
                      Path{"ShortImage", json::object(), {{"length", 28}}, -1},
                      Path{"ChipAbsent", {{"absent", true}}, json::object(), -1},
                      Path{"FirstHeaderReadFails", fault("READ", 1), json::object(), -1},
                      Path{"ProbeStatusWriteFails", blank(fault("WRSR", 1)), json::object(), -1},
                      Path{"ProbeEraseFails", blank(fault("CE", 1)), json::object(), -1},
                      Path{"ProbeProgramFails", blank(fault("PP", 2)), json::object(), -1},
                      Path{"ProbeReadBackFails", blank(fault("READ", 3)), json::object(), -1},
                      Path{"VerifyReadFails", fault("READ", 5), json::object(), -1},
                      Path{"StatusReadFails", blank(fault("RDSR", 1)), json::object(), -1},
                      Path{"EraseNeverEnds",
                           {{"flash", {{"contents", "blank"}, {"busy_reads", {{"erase", -1}}}}}},
                           json::object(),
                           -1},
                      Path{"ProgramNeverEnds",
                           {{"flash", {{"contents", "blank"}, {"busy_reads", {{"program", -1}}}}}},
                           json::object(),
                           -1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Pmpupdate, NegativeDescriptorIsReportedAndTheImageStillClosed) {
    int result = 0, before = 0, after = 0;
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) {
        before = k.open_descriptors(1);
        result = pmpupdate(-1);
        after = k.open_descriptors(1);
        return 0;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(after, before);
    EXPECT_EQ(r.out(), "ERR:the sata fd is error\n"
                       "ERR : pmprw, ioctl fail (9)\n"
                       "ERR : chk39xdev, read JMB39X fail1\n" +
                           CHIP_FAIL);
}

} // namespace
