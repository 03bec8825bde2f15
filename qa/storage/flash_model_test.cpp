// The simulated SPI flash that every firmware test stands on: if it let a
// program set bits, or erase without the latch, the product tests above it
// would pass on a flash no board has.
#include "sim/models/firmware_image.h"
#include "sim/models/spi_flash.h"

#include <gtest/gtest.h>

namespace {

using sim::SpiFlash;
using Outcome = SpiFlash::Outcome;

SpiFlash flash_of(std::vector<uint8_t> bytes, SpiFlash::BusyReads busy = {0, 0, 0},
                  uint8_t status = 0, std::vector<SpiFlash::StuckBit> stuck = {}) {
    return SpiFlash(std::move(bytes), busy, status, 0, std::move(stuck));
}

std::vector<uint8_t> read4(const SpiFlash &f, uint32_t at) {
    uint8_t out[4];
    f.read(at, out);
    return {out[0], out[1], out[2], out[3]};
}

TEST(SpiFlashModel, ProgramNeedsTheLatchClearsOnlyBitsAndDropsTheLatch) {
    SpiFlash f = flash_of(std::vector<uint8_t>(256, 0xF0));
    const uint8_t word[4] = {0x0F, 0x3C, 0xFF, 0x00};

    EXPECT_EQ(f.page_program(4, word), Outcome::NoLatch);
    EXPECT_EQ(read4(f, 4), (std::vector<uint8_t>{0xF0, 0xF0, 0xF0, 0xF0}));

    ASSERT_EQ(f.write_enable(), Outcome::Done);
    EXPECT_EQ(f.read_status() & SpiFlash::kLatch, SpiFlash::kLatch);
    ASSERT_EQ(f.page_program(4, word), Outcome::Done);
    EXPECT_EQ(read4(f, 4), (std::vector<uint8_t>{0x00, 0x30, 0xF0, 0x00})) << "new = old AND data";
    EXPECT_EQ(f.read_status() & SpiFlash::kLatch, 0);
    EXPECT_EQ(f.page_program(4, word), Outcome::NoLatch) << "one latch, one program";
    EXPECT_EQ(read4(f, 0), (std::vector<uint8_t>{0xF0, 0xF0, 0xF0, 0xF0}));
}

TEST(SpiFlashModel, EraseNeedsTheLatchAndProtectionStopsEraseAndProgram) {
    SpiFlash f = flash_of(std::vector<uint8_t>(256, 0x12), {0, 0, 0}, SpiFlash::kProtect);
    const uint8_t zero[4] = {0, 0, 0, 0};

    EXPECT_EQ(f.chip_erase(), Outcome::NoLatch);
    f.write_enable();
    EXPECT_EQ(f.chip_erase(), Outcome::Protected);
    f.write_enable();
    EXPECT_EQ(f.page_program(0, zero), Outcome::Protected);
    EXPECT_EQ(f.bytes(), std::vector<uint8_t>(256, 0x12));

    EXPECT_EQ(f.write_status(0), Outcome::NoLatch);
    f.write_enable();
    ASSERT_EQ(f.write_status(0), Outcome::Done);
    EXPECT_EQ(f.read_status(), 0) << "protect bits and latch cleared";
    f.write_enable();
    ASSERT_EQ(f.chip_erase(), Outcome::Done);
    EXPECT_EQ(f.bytes(), std::vector<uint8_t>(256, 0xFF));
}

TEST(SpiFlashModel, BusyLastsTheSetNumberOfStatusReads) {
    struct Case {
        const char *op;
        SpiFlash::BusyReads busy;
    };
    const uint8_t zero[4] = {0, 0, 0, 0};
    for (const Case &c :
         {Case{"program", {3, 0, 0}}, Case{"erase", {0, 3, 0}}, Case{"status_write", {0, 0, 3}}}) {
        SCOPED_TRACE(c.op);
        SpiFlash f = flash_of(std::vector<uint8_t>(256, 0xFF), c.busy);
        f.write_enable();
        std::string op = c.op;
        if (op == "program")
            f.page_program(0, zero);
        else if (op == "erase")
            f.chip_erase();
        else
            f.write_status(0x04);
        uint8_t protect = op == "status_write" ? 0x04 : 0;
        EXPECT_EQ(read4(f, 0), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}))
            << "reads are not served during a write cycle";
        EXPECT_EQ(f.write_enable(), Outcome::Busy);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(f.read_status(), SpiFlash::kBusy | SpiFlash::kLatch | protect) << i;
        EXPECT_EQ(f.read_status(), protect) << "ready, latch dropped";
    }
}

TEST(FirmwareImageGenerator, HeaderFieldsAgreeWithTheLength) {
    for (size_t length : {32u, 2048u, 65536u, 65540u, 131068u}) {
        sim::FirmwareImage wanted;
        wanted.length = length;
        wanted.revision = 0x02;
        wanted.bonding = 0x09;
        std::string img = sim::make_firmware_image(wanted);
        ASSERT_EQ(img.size(), length);
        auto b = [&](size_t i) { return static_cast<uint8_t>(img[i]); };
        EXPECT_EQ(b(0), 0x7B);
        EXPECT_EQ(b(1), 0x19);
        EXPECT_EQ(b(2), 0x02);
        EXPECT_EQ(b(3), 0x32);
        EXPECT_EQ(b(4), 0x09);
        EXPECT_EQ(size_t(b(8) | b(9) << 8) + size_t(b(12) | b(13) << 8), length);
    }
    sim::FirmwareImage short_one;
    short_one.length = 28;
    EXPECT_EQ(sim::make_firmware_image(short_one).size(), 28u);
}

} // namespace
