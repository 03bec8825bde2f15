// The failure sites of pmpupdate before it may touch the flash, one row
// each: the lines of every level it passes, result -1 with the updated flag
// cleared (it is set before the call), the disk and the image closed again,
// and no write enable, erase, program or status write. The sites past them
// are the catalog's pmp-* scenarios.
#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

struct Failure {
    const char *name;
    std::string chip;         // the one chip, behind sda; the image is 1 KiB
    std::string tail;         // the last lines printed
    std::string extra = "{}"; // merged over the scenario
};

void PrintTo(const Failure &f, std::ostream *os) {
    *os << f.name;
}

class PmpFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(PmpFailure, ReportsEachLevelAndGivesEverythingBack) {
    const Failure &f = GetParam();
    nlohmann::json doc = {{"disks",
                           {{"drives", {"sda"}},
                            {"image", {{"length", 1024}}},
                            {"chips", {nlohmann::json::parse(f.chip)}}}}};
    doc.merge_patch(nlohmann::json::parse(f.extra));
    int result = 0, flag = -1, before = 0, after = 0;
    qa::SimRun run = qa::run_on_board(doc.dump(), [&](sim::Kernel &k) {
        before = k.open_descriptors(1);
        pmpblock.fwUpdated = 1;
        result = pmpupdate(sys::open("/dev/sda", O_RDONLY));
        flag = firmwareupdated();
        after = k.open_descriptors(1);
        return 0;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(after, before) << "the disk or the image left open";
    std::string out = run.out();
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), f.tail.size())), f.tail) << out;
    const sim::PmpCounters &n = run.kernel->model<sim::Disks>()->chip(1).counters();
    EXPECT_EQ(n.write_enable + n.chip_erase + n.program + n.status_write, 0u);
}

// The first two levels of a failed SPI request, errno EIO.
std::string spi(const char *primitive) {
    return std::string("ERR : pmprw, ioctl fail (5)\nERR : ") + primitive +
           ", spi JMB39X fail (5)\n";
}

// A chip whose nth request of that kind fails with EIO.
std::string fault(const char *kind, int nth = 1, const char *flash = "{}") {
    return nlohmann::json{{"flash", nlohmann::json::parse(flash)},
                          {"request_faults", {{{"kind", kind}, {"nth", nth}}}}}
        .dump();
}

std::string image(const char *fields) {
    return std::string(R"({"disks": {"image": {)") + fields + "}}}";
}

std::string readfails(int nth) {
    return R"({"faults": [{"call": "read", "path": "/dav0/vex321.bin", "nth": )" +
           std::to_string(nth) + "}]}";
}

const std::string kChip = "ERR : main, check 39x device fail\nINFO: Finish\n";
const std::string kFile = "ERR : main, check binary file fail\nINFO: Finish\n";
const std::string kStatus = "ERR : main, check flash status fail\nINFO: Finish\n";
const std::string kVerify = "WRN : verifycode, verify not complete\nERR : main, verifycode fail\n"
                            "INFO: Finish\n";

INSTANTIATE_TEST_SUITE_P(
    Pmpupdate, PmpFailure,
    ::testing::Values(
        Failure{"ImageMissing", "{}", "ERR : open config binfile fail\n",
                image(R"("missing": true)")},
        Failure{"NoDisk", "{}",
                "ERR:the sata fd is error\nERR : pmprw, ioctl fail (9)\n"
                "ERR : chk39xdev, read JMB39X fail1\n" +
                    kChip,
                R"({"disks": {"drives": []}})"},
        Failure{"ChipAbsent", R"({"absent": true})",
                "ERR : pmprw, ioctl fail (5)\nERR : chk39xdev, read JMB39X fail1\n" + kChip},
        Failure{"NotJmb39x", R"({"presence": 0})",
                "ERR : JMB39X device doesn't exist (00000000h)\n" + kChip},
        Failure{"RevisionUnreadable", fault("register_read", 2),
                "INFO: JMB39X device exist\nERR : pmprw, ioctl fail (5)\n"
                "ERR : chk39xdev, read JMB39X fail2\n" +
                    kChip},
        Failure{"Unaligned", "{}",
                "ERR : chkbinfile, length of binfile isn't alignment (1026)\n" + kFile,
                image(R"("length": 1026)")},
        Failure{"ImageUnreadable", "{}", "ERR : chkbinfile, read binfile fail (5)\n" + kFile,
                R"({"faults": [{"call": "pread", "path": "/dav0/vex321.bin"}]})"},
        Failure{"TwentyEightBytes", "{}",
                "ERR : chkbinfile, too few data when read binfile (< 32 bytes)\n" + kFile,
                image(R"("length": 28)")},
        Failure{"WrongChipId", "{}", "ERR : chkbinfile, binfile ID error (33h 197Bh)\n" + kFile,
                image(R"("chip_id": "0x33")")},
        Failure{"WrongVendor", "{}", "ERR : chkbinfile, binfile ID error (32h 187Bh)\n" + kFile,
                image(R"("vendor": "0x187B")")},
        Failure{"BondingUnreadable", fault("register_read", 3),
                "ERR : pmprw, ioctl fail (5)\nERR : chkbinfile, read JMB39X fail1\n" + kFile},
        Failure{"BondingLowUnreadable", fault("register_read", 4),
                "ERR : pmprw, ioctl fail (5)\nERR : chkbinfile, read JMB39X fail2\n" + kFile},
        Failure{"WrongBonding", "{}",
                "ERR : chkbinfile, bonding is mismatch (JMB39X = 05h, binfile = 06h)\n" + kFile,
                image(R"("bonding": 6)")},
        Failure{"LengthParts", "{}",
                "ERR : Binfine length is mismatch (exp: 1000, act: 1024)\n" + kFile,
                image(R"("length_parts": [500, 500])")},
        Failure{"HeaderUnreadable", fault("READ"),
                spi("spiREAD") + "ERR : chkflashsts, spiREAD fail (00000000h)\n" + kStatus},
        Failure{"VerifyReadFails", fault("READ", 3),
                "INFO: Verify flash #1\n" + spi("spiREAD") +
                    "ERR : readflash, spiREAD fail (00000004h)\n"
                    "ERR : verifycode, readflash fail (00000004h)\n"
                    "INFO: Total verify size = 4\n" +
                    kVerify},
        Failure{"VerifyImageUnreadable", "{}",
                ".\nERR : verifycode, read binfile fail (00000200h)\n"
                "INFO: Total verify size = 512\n" +
                    kVerify,
                readfails(2)}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
