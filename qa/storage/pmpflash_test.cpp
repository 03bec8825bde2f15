// The flash routines on the simulated multiplier: the taskfile each request
// carries, what is taken back from it, the cost of each routine in
// requests, and how a failure is reported at every level it passes.
#include "storage_support.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

namespace {

using namespace storageqa;
using Bytes = std::array<uint8_t, 16>;

// Runs body with the register block aimed at /dev/sda.
qa::SimRun on_chip(const std::string &scenario, const std::function<void()> &body) {
    return qa::run_routine(scenario, [&] {
        pmpblock.diskFd = sys::open("/dev/sda", O_RDONLY);
        body();
        return 0;
    });
}

std::string blank_flash(json extra = json::object()) {
    json flash = {{"contents", "blank"},
                  {"busy_reads", {{"program", 0}, {"erase", 0}, {"status_write", 0}}}};
    flash.update(extra);
    return board(one_chip(flash));
}

struct LayoutCase {
    const char *name;
    std::function<int()> call;
    Bytes sent;
};

TEST(PmpRequest, TaskfileIsBuiltFromTheRegisterBlock) {
    const std::vector<LayoutCase> cases = {
        {"spiWREN",
         [] { return spiWREN(); },
         {0, 0x06, 0x44, 0x33, 0x22, 0x11, 0x80, 0xF7, 0, 0x00, 0x88, 0x77, 0x66, 0x55, 0, 0}},
        {"spiCE",
         [] { return spiCE(); },
         {0, 0xC7, 0x44, 0x33, 0x22, 0x11, 0x80, 0xF7, 0, 0x00, 0x88, 0x77, 0x66, 0x55, 0, 0}},
        {"spiRDSR",
         [] { return spiRDSR(); },
         {0, 0x05, 0x44, 0x33, 0x22, 0x11, 0x80, 0xF7, 0, 0x08, 0x88, 0x77, 0x66, 0x55, 0, 0}},
        {"spiWRSR",
         [] { return spiWRSR(0x9C); },
         {0, 0x01, 0x9C, 0x00, 0x00, 0x00, 0x80, 0xF7, 0, 0x04, 0x88, 0x77, 0x66, 0x55, 0, 0}},
        {"spiREAD",
         [] { return spiREAD(0x123); },
         {0, 0x03, 0x44, 0x33, 0x22, 0x11, 0x80, 0xF7, 0, 0xE9, 0x23, 0x01, 0x00, 0x00, 0, 0}},
        {"spiPP",
         [] { return spiPP(0x40, 0xA1B2C3D4); },
         {0, 0x02, 0xD4, 0xC3, 0xB2, 0xA1, 0x80, 0xF7, 0, 0xE5, 0x40, 0x00, 0x00, 0x00, 0, 0}},
        {"register read",
         [] {
             pmpblock.commandWord = 0x0084;
             pmpblock.addressWord = 0xFC03;
             return pmprw(PMP_REGREAD);
         },
         {0, 0x84, 0x44, 0x33, 0x22, 0x11, 0x8F, 0xE4, 0, 0x00, 0x03, 0xFC, 0x00, 0x00, 0, 0}},
    };
    for (const LayoutCase &c : cases) {
        SCOPED_TRACE(c.name);
        int rc = -2;
        qa::SimRun r = on_chip("{}", [&] {
            pmpblock.dataWord = 0x11223344;
            pmpblock.addressWord = 0x55667788;
            rc = c.call();
        });
        EXPECT_EQ(rc, 0);
        const auto &recent = disks(r).chip(1).recent();
        ASSERT_EQ(recent.size(), 1u);
        EXPECT_EQ(recent.back().sent, c.sent);
        EXPECT_EQ(r.out(), "");
    }
}

TEST(PmpRequest, ReturnedRegistersReplaceTheWordsAndTheNextRequestSendsThem) {
    uint32_t read_data = 0, read_address = 0, status_data = 0, status_address = 0;
    uint32_t revision = 0;
    qa::SimRun r = on_chip("{}", [&] {
        pmpblock.commandWord = 0x0084;
        pmpblock.addressWord = 0xFC03;
        pmprw(PMP_REGREAD);
        revision = pmpblock.dataWord;
        spiREAD(8);
        read_data = pmpblock.dataWord;
        read_address = pmpblock.addressWord;
        spiRDSR();
        status_data = pmpblock.dataWord;
        status_address = pmpblock.addressWord;
    });
    EXPECT_EQ(revision, 0x01u);
    std::vector<uint8_t> img = image_bytes(r);
    EXPECT_EQ(read_data, uint32_t(img[8] | img[9] << 8 | img[10] << 16 | uint32_t(img[11]) << 24));
    EXPECT_EQ(read_address, 8u);

    const auto &recent = disks(r).chip(1).recent();
    ASSERT_EQ(recent.size(), 3u);
    const Bytes &rdsr = recent.back().sent;
    EXPECT_EQ(rdsr[2] | rdsr[3] << 8 | rdsr[4] << 16 | uint32_t(rdsr[5]) << 24, read_data)
        << "the status read carries the data word the read left";
    EXPECT_EQ(rdsr[10] | rdsr[11] << 8 | rdsr[12] << 16 | uint32_t(rdsr[13]) << 24, 8u);
    EXPECT_EQ(status_data & 0xFF, 0u) << "ready, no latch, no protection";
    EXPECT_EQ(status_data & 0xFFFFFF00, read_data & 0xFFFFFF00);
    EXPECT_EQ(status_address, 8u);
}

TEST(PmpFlashRoutines, CountZeroMakesNoRequest) {
    int read_rc = -2, write_rc = -2;
    qa::SimRun r = on_chip(blank_flash(), [&] {
        uint32_t words[1] = {0x12345678};
        read_rc = readflash(0, words, 0);
        write_rc = writeflash(0, words, 0);
    });
    EXPECT_EQ(read_rc, 0);
    EXPECT_EQ(write_rc, 0);
    EXPECT_EQ(disks(r).chip(1).counters().requests, 0u);
}

TEST(PmpFlashRoutines, WaitingCostsOneStatusReadPerBusyReadPlusOne) {
    for (int busy : {0, 1, 7}) {
        SCOPED_TRACE(busy);
        int rc = -2;
        qa::SimRun r = on_chip(blank_flash({{"busy_reads", {{"program", busy}}}}), [&] {
            const uint32_t word = 0x00000000;
            rc = writeflash(0x10, &word, 1);
        });
        EXPECT_EQ(rc, 0);
        const sim::PmpCounters &c = disks(r).chip(1).counters();
        EXPECT_EQ(c.write_enable, 1u);
        EXPECT_EQ(c.program, 1u);
        EXPECT_EQ(c.status_read, uint64_t(busy) + 1);
        EXPECT_EQ(c.requests, uint64_t(busy) + 3);
        EXPECT_EQ(flash_head(r, 0x14)[0x10], 0x00);
    }
}

TEST(PmpFlashRoutines, EraseThatNeverEndsTimesOutAfterTenThousandReads) {
    int rc = 0;
    qa::SimRun r =
        on_chip(blank_flash({{"busy_reads", {{"erase", -1}}}}), [&] { rc = eraseflash(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(r.out(),
              "ERR : waitflashrdy, timeout (10000)ERR : eraseflash, waitflashrdy(10000) fail2\n");
    const sim::PmpCounters &c = disks(r).chip(1).counters();
    EXPECT_EQ(c.chip_erase, 1u);
    EXPECT_EQ(c.status_read, 1u + 10000u) << "one read before the erase, 10000 after";
}

TEST(PmpFlashRoutines, ProtectedFlashIsErasedOnlyAfterProtectionIsLifted) {
    uint32_t protect_before = 0, protect_after = 0, word_after_plain = 0, word_after_wp = 0;
    int plain = -2, wp = -2, erase = -2;
    json flash = {{"protected", true}, {"busy_reads", {{"erase", 3}, {"status_write", 2}}}};
    qa::SimRun r = on_chip(board(one_chip(flash)), [&] {
        spiRDSR();
        protect_before = pmpblock.dataWord & 0x1C;
        plain = eraseflash();
        readflash(0, &word_after_plain, 1);
        wp = disableflashWP();
        spiRDSR();
        protect_after = pmpblock.dataWord & 0x1C;
        erase = eraseflash();
        readflash(0, &word_after_wp, 1);
    });
    EXPECT_EQ(protect_before, 0x1Cu);
    EXPECT_EQ(plain, 0) << "the flash accepts the command and ignores it";
    EXPECT_EQ(word_after_plain, 0x3201197Bu) << "the image header is still there";
    EXPECT_EQ(wp, 0);
    EXPECT_EQ(protect_after, 0u);
    EXPECT_EQ(erase, 0);
    EXPECT_EQ(word_after_wp, 0xFFFFFFFFu);
    EXPECT_EQ(r.out(), "");
    EXPECT_EQ(r.events("pmp", "status_write").size(), 1u);
}

struct WordFailure {
    const char *kind;
    int err;
    const char *out;
    size_t programmed_bytes; // from address 0
};

TEST(PmpFlashRoutines, FailureAtTheThirdWordNamesItsAddressAndKeepsTheWordsBefore) {
    const WordFailure cases[] = {
        {"PP", EIO,
         "ERR : pmprw, ioctl fail (5)\nERR : spiPP, spi JMB39X fail (5)\n"
         "ERR : writeflash, spiPP fail (00000008h)\n",
         8},
        {"WREN", EBUSY,
         "ERR : pmprw, ioctl fail (16)\nERR : spiWREN, spi JMB39X fail (16)\n"
         "ERR : writeflash, spiWREN fail (00000008h)\n",
         8},
        {"RDSR", ETIMEDOUT,
         "ERR : pmprw, ioctl fail (110)\nERR : spiRDSR, spi JMB39X fail (110)\n"
         "ERR : waitflashrdy, spiRDSR fail\nERR : writeflash, waitflashrdy(1000) fail2 "
         "(00000008h)\n",
         12},
    };
    for (const WordFailure &c : cases) {
        SCOPED_TRACE(c.kind);
        json fault = {{"kind", c.kind}, {"nth", 3}, {"errno", c.err}};
        json flash = {{"contents", "blank"}, {"busy_reads", {{"program", 0}}}};
        json d = one_chip(flash);
        d["chips"][0]["request_faults"] = json::array({fault});
        int rc = 0;
        const uint32_t words[5] = {0x03020100, 0x07060504, 0x0B0A0908, 0x0F0E0D0C, 0x13121110};
        qa::SimRun r = on_chip(board(d), [&] { rc = writeflash(0, words, 5); });
        EXPECT_LT(rc, 0);
        EXPECT_EQ(r.out(), c.out);
        std::vector<uint8_t> head = flash_head(r, 20);
        for (size_t i = 0; i < head.size(); ++i)
            EXPECT_EQ(head[i], i < c.programmed_bytes ? i : 0xFF) << "byte " << i;
    }
}

TEST(PmpFlashRoutines, FailedReadNamesTheWordItStoppedAt) {
    json d = one_chip(json::object());
    d["chips"][0]["request_faults"] =
        json::array({{{"kind", "READ"}, {"nth", 2}, {"errno", "EIO"}}});
    int rc = 0;
    uint32_t words[3] = {0, 0xDEADBEEF, 0xDEADBEEF};
    qa::SimRun r = on_chip(board(d), [&] { rc = readflash(0x100, words, 3); });
    EXPECT_LT(rc, 0);
    EXPECT_EQ(r.out(), "ERR : pmprw, ioctl fail (5)\nERR : spiREAD, spi JMB39X fail (5)\n"
                       "ERR : readflash, spiREAD fail (00000104h)\n");
    std::vector<uint8_t> img = image_bytes(r);
    EXPECT_EQ(words[0], uint32_t(img[0x100] | img[0x101] << 8 | img[0x102] << 16 |
                                 uint32_t(img[0x103]) << 24));
    EXPECT_EQ(words[2], 0xDEADBEEFu) << "nothing read after the failure";
    EXPECT_EQ(disks(r).chip(1).counters().requests, 2u);
    EXPECT_EQ(disks(r).chip(1).counters().failed, 1u);
}

} // namespace
