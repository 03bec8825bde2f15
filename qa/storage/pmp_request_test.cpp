// pmprw and the flash routines over it, one row each: the 16-byte taskfile
// the last request carried, the register words the block holds afterwards,
// the requests it cost, and what a failure or a timeout prints.
#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct Request {
    const char *name;
    const char *chip; // behind sda; the flash holds a 1 KiB image unless it says otherwise
    std::function<int()> call;
    int rc;
    uint64_t requests;
    const char *last; // the taskfile of the last request, in hex
    uint32_t data, address;
    const char *out;
};

void PrintTo(const Request &r, std::ostream *os) {
    *os << r.name;
}

class PmpRequest : public ::testing::TestWithParam<Request> {};

TEST_P(PmpRequest, TaskfileRegisterWordsCostAndMessages) {
    const Request &r = GetParam();
    std::string scenario =
        std::string(R"({"disks": {"drives": ["sda"], "image": {"length": 1024}, "chips": [)") +
        r.chip + "]}}";
    int rc = -2;
    uint32_t data = 0, address = 0;
    qa::SimRun run = qa::run_routine(scenario, [&] {
        pmpblock.diskFd = sys::open("/dev/sda", O_RDONLY);
        pmpblock.dataWord = 0x11223344;
        pmpblock.addressWord = 0x55667788;
        rc = r.call();
        data = pmpblock.dataWord;
        address = pmpblock.addressWord;
        return 0;
    });
    const sim::Jmb321 &chip = run.kernel->model<sim::Disks>()->chip(1);
    EXPECT_EQ(rc, r.rc);
    ASSERT_EQ(chip.counters().requests, r.requests);
    if (r.requests > 0) {
        std::string sent;
        for (uint8_t b : chip.recent().back().sent)
            sent += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15], ' '};
        EXPECT_EQ(sent, std::string(r.last) + ' ');
    }
    EXPECT_EQ(data, r.data);
    EXPECT_EQ(address, r.address);
    EXPECT_EQ(run.out(), r.out);
}

int registerread() {
    pmpblock.commandWord = 0x0084;
    pmpblock.addressWord = 0xFC03;
    return pmprw(PMP_REGREAD);
}

int readthree() {
    uint32_t words[3];
    return readflash(0x100, words, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Pmp, PmpRequest,
    ::testing::Values(
        Request{"WriteEnable", "{}", spiWREN, 0, 1,
                "00 06 44 33 22 11 80 F7 00 00 88 77 66 55 00 00", 0x11223344, 0x55667788, ""},
        Request{"ChipErase", "{}", spiCE, 0, 1, "00 C7 44 33 22 11 80 F7 00 00 88 77 66 55 00 00",
                0x11223344, 0x55667788, ""},
        Request{"ReadStatus", "{}", spiRDSR, 0, 1,
                "00 05 44 33 22 11 80 F7 00 08 88 77 66 55 00 00", 0x11223300, 0x55667788, ""},
        Request{"WriteStatus", "{}", [] { return spiWRSR(0x9C); }, 0, 1,
                "00 01 9C 00 00 00 80 F7 00 04 88 77 66 55 00 00", 0x9C, 0x55667788, ""},
        Request{"Read", "{}", [] { return spiREAD(0x120); }, 0, 1,
                "00 03 44 33 22 11 80 F7 00 E9 20 01 00 00 00 00", 0x869B8840, 0x120, ""},
        Request{"PageProgram", "{}", [] { return spiPP(0x40, 0xA1B2C3D4); }, 0, 1,
                "00 02 D4 C3 B2 A1 80 F7 00 E5 40 00 00 00 00 00", 0xA1B2C3D4, 0x40, ""},
        Request{"RegisterRead", "{}", registerread, 0, 1,
                "00 84 44 33 22 11 8F E4 00 00 03 FC 00 00 00 00", 0x01, 0xFC03, ""},
        // The status read sends the words the flash read left in the block.
        Request{"StatusAfterRead", R"({"flash": {"contents": "blank"}})",
                [] { return spiREAD(8) < 0 ? -1 : spiRDSR(); }, 0, 2,
                "00 05 FF FF FF FF 80 F7 00 08 08 00 00 00 00 00", 0xFFFFFF00, 8, ""},
        Request{"FailedRequest", R"({"request_faults": [{"kind": "WREN", "errno": "EBUSY"}]})",
                spiWREN, -1, 1, "00 06 44 33 22 11 80 F7 00 00 88 77 66 55 00 00", 0x11223344,
                0x55667788, "ERR : pmprw, ioctl fail (16)\nERR : spiWREN, spi JMB39X fail (16)\n"},
        Request{"ReadStopsAtTheFailedWord", R"({"request_faults": [{"kind": "READ", "nth": 2}]})",
                readthree, -1, 2, "00 03 F9 2F A1 23 80 F7 00 E9 04 01 00 00 00 00", 0x23A12FF9,
                0x104,
                "ERR : pmprw, ioctl fail (5)\nERR : spiREAD, spi JMB39X fail (5)\n"
                "ERR : readflash, spiREAD fail (00000104h)\n"},
        Request{"NoWordRead", "{}", [] { return readflash(0, nullptr, 0); }, 0, 0, "", 0x11223344,
                0x55667788, ""},
        Request{"NoWordWritten", "{}", [] { return writeflash(0, nullptr, 0); }, 0, 0, "",
                0x11223344, 0x55667788, ""},
        // Busy for two reads: ready at the third.
        Request{"ReadyAtTheLastRead", R"({"flash": {"busy_reads": {"start": 2}}})",
                [] { return waitflashrdy(3); }, 0, 3,
                "00 05 01 33 22 11 80 F7 00 08 88 77 66 55 00 00", 0x11223300, 0x55667788, ""},
        Request{"StillBusyAtTheLastRead", R"({"flash": {"busy_reads": {"start": 3}}})",
                [] { return waitflashrdy(3); }, -1, 3,
                "00 05 01 33 22 11 80 F7 00 08 88 77 66 55 00 00", 0x11223301, 0x55667788,
                "ERR : waitflashrdy, timeout (3)"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
