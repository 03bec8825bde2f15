// An upload that the chip accepted word for word but that left other bytes
// in the flash must fail: the run may never report success while the
// multiplier would start from something other than the image.
#include "storage_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace storageqa;

std::vector<uint8_t> image_of(size_t length) {
    sim::FirmwareImage wanted;
    wanted.length = length;
    std::string s = sim::make_firmware_image(wanted);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A bit past the probe words that the image clears, stuck at 1.
json stuck_where_image_clears(const std::vector<uint8_t> &img, uint32_t *address) {
    for (uint32_t at = 16; at < img.size(); ++at)
        for (int bit = 0; bit < 8; ++bit)
            if (!(img[at] & (1 << bit))) {
                *address = at;
                return json::array({{{"address", at}, {"bit", bit}, {"value", 1}}});
            }
    return json::array();
}

struct Case {
    const char *name;
    json flash;
    size_t image_length;
    std::string failure; // the line that names the first word found wrong
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

std::vector<Case> cases() {
    std::vector<uint8_t> img = image_of(2048);
    uint32_t stuck_at = 0;
    json stuck = stuck_where_image_clears(img, &stuck_at);
    char stuck_line[32];
    std::snprintf(stuck_line, sizeof stuck_line, "verify fail (%08Xh)", stuck_at);
    return {
        {"StuckBit", {{"contents", "blank"}, {"stuck_bits", stuck}}, 2048, stuck_line},
        // Addresses past the end of a 1 KiB flash wrap over its start, so
        // the second half of the image is programmed over the first.
        {"ImageLongerThanFlash",
         {{"contents", "blank"}, {"size", 1024}},
         2048,
         "verify fail (00000000h)"},
        {"StuckBitWithHeaderPresent",
         {{"differ", {0x100}}, {"stuck_bits", stuck}},
         2048,
         stuck_line},
    };
}

class UploadReadBack : public ::testing::TestWithParam<Case> {};

TEST_P(UploadReadBack, FlashOtherThanTheImageFailsTheUpdate) {
    const Case &c = GetParam();
    json flash = c.flash;
    flash["busy_reads"] = {{"program", 0}, {"erase", 2}, {"status_write", 1}};
    UpdateRun u = update(board(one_chip(flash, c.image_length)));
    ASSERT_EQ(u.updates.size(), 1u);
    EXPECT_EQ(u.updates[0].result, -1);
    EXPECT_EQ(u.updates[0].flag, 0);
    EXPECT_FALSE(flash_holds_image(u.run));
    std::string out = u.out();
    EXPECT_NE(out.find("ERR : uploadcode, " + c.failure), std::string::npos) << out;
    EXPECT_EQ(out.find("INFO: Upload complete"), std::string::npos) << out;
    EXPECT_NE(out.find("ERR : main, uploadcode fail\nINFO: Finish\n"), std::string::npos) << out;
    EXPECT_EQ(u.updates[0].open_after, u.updates[0].open_before);
}

INSTANTIATE_TEST_SUITE_P(Pmpupdate, UploadReadBack, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pmpupdate, ReadBackCostsOneReadPerWordAndKeepsTheTranscript) {
    json flash = {{"contents", "blank"},
                  {"busy_reads", {{"program", 0}, {"erase", 2}, {"status_write", 1}}}};
    UpdateRun u = update(board(one_chip(flash, 2048)));
    ASSERT_EQ(u.updates.size(), 1u);
    EXPECT_EQ(u.updates[0].result, 0);
    EXPECT_EQ(u.updates[0].flag, 1);
    EXPECT_TRUE(flash_holds_image(u.run));
    // The header word, the probe's four words, then each image word once.
    EXPECT_EQ(u.counters().read, 1u + 4u + 2048u / 4);
    EXPECT_NE(u.out().find("INFO: Total upload size = 2048\nINFO: Read back flash #1\n....\n"
                           "INFO: Upload complete\nINFO: Finish\n"),
              std::string::npos);
}

} // namespace
