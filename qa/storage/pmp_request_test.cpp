// pmprw and the flash routines over it, one row each: the 16-byte taskfile
// the last request carried, the register words the block holds afterwards,
// the requests it cost, and what a failure or a timeout prints.
#include "datarows.h"
#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

int registerread() {
    pmpblock.commandWord = 0x0084;
    pmpblock.addressWord = 0xFC03;
    return pmprw(PMP_REGREAD);
}

int readthree() {
    uint32_t words[3];
    return readflash(0x100, words, 3);
}

// The calls the rows of qa/data/pmp-requests.json name.
const std::map<std::string, std::function<int()>> calls = {
    {"spiWREN", spiWREN},
    {"spiCE", spiCE},
    {"spiRDSR", spiRDSR},
    {"spiWRSR(0x9C)", [] { return spiWRSR(0x9C); }},
    {"spiREAD(0x120)", [] { return spiREAD(0x120); }},
    {"spiPP(0x40, 0xA1B2C3D4)", [] { return spiPP(0x40, 0xA1B2C3D4); }},
    {"register read 0xFC03", registerread},
    {"spiREAD(8), spiRDSR", [] { return spiREAD(8) < 0 ? -1 : spiRDSR(); }},
    {"readflash(0x100, 3 words)", readthree},
    {"readflash(0, 0 words)", [] { return readflash(0, nullptr, 0); }},
    {"writeflash(0, 0 words)", [] { return writeflash(0, nullptr, 0); }},
    {"waitflashrdy(3)", [] { return waitflashrdy(3); }},
};

uint32_t number(const nlohmann::json &hex) {
    return static_cast<uint32_t>(std::stoul(hex.get<std::string>(), nullptr, 16));
}

class PmpRequest : public ::testing::TestWithParam<qa::DataRow> {};

// Each row: the chip behind sda (its flash holds a 1 KiB image unless it
// says otherwise), the call, its result, the requests it cost, the taskfile
// of the last one in hex, the register words afterwards and what it printed.
TEST_P(PmpRequest, TaskfileRegisterWordsCostAndMessages) {
    const qa::DataRow &r = GetParam();
    std::string scenario =
        std::string(R"({"disks": {"drives": ["sda"], "image": {"length": 1024}, "chips": [)") +
        r["chip"].dump() + "]}}";
    int rc = -2;
    uint32_t data = 0, address = 0;
    qa::SimRun run = qa::run_routine(scenario, [&] {
        pmpblock.diskFd = sys::open("/dev/sda", O_RDONLY);
        pmpblock.dataWord = 0x11223344;
        pmpblock.addressWord = 0x55667788;
        rc = calls.at(r["call"])();
        data = pmpblock.dataWord;
        address = pmpblock.addressWord;
        return 0;
    });
    const sim::Jmb321 &chip = run.kernel->model<sim::Disks>()->chip(1);
    EXPECT_EQ(rc, r["rc"]);
    ASSERT_EQ(chip.counters().requests, r["requests"]);
    std::string sent;
    if (chip.counters().requests > 0)
        for (uint8_t b : chip.recent().back().sent)
            sent += {' ', "0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    EXPECT_EQ(sent.empty() ? sent : sent.substr(1), r["last"]);
    EXPECT_EQ(data, number(r["data"]));
    EXPECT_EQ(address, number(r["address"]));
    EXPECT_EQ(run.out(), r.fields.value("out", ""));
}

INSTANTIATE_TEST_SUITE_P(Pmp, PmpRequest, ::testing::ValuesIn(qa::data_rows("pmp-requests.json")),
                         qa::data_row_name);

} // namespace
