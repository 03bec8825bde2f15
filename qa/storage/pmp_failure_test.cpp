// Every failure site of pmpupdate, one row each: the lines of every level
// it passes, result -1 with the updated flag cleared (it is set before the
// call), the disk and the image closed again, and no write enable, erase,
// program or status write where the flash must stay as it was.
#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

struct Failure {
    const char *name;
    std::string chip; // the one chip, behind sda; the image is 1 KiB
    bool may_write;
    std::string tail;         // the last lines printed
    std::string extra = "{}"; // merged over the scenario
};

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
    if (!f.may_write) {
        EXPECT_EQ(n.write_enable + n.chip_erase + n.program + n.status_write, 0u);
    }
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

std::string blank(const char *kind, int nth = 1) {
    return fault(kind, nth, R"({"contents": "blank"})");
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
const std::string kUpload = "ERR : main, uploadcode fail\nINFO: Finish\n";
const std::string kNotComplete = "ERR : uploadcode, upload not complete\n" + kUpload;
const std::string kWp = "ERR : chkflashsts, disableflashWP fail\n" + kStatus;
const std::string kErase = "ERR : chkflashsts, eraseflash fail\n" + kStatus;
const std::string kWrite = "ERR : chkflashsts, writeflash fail\n" + kStatus;
const std::string kTimeout = "ERR : waitflashrdy, timeout (10000)";
const char *const kBlank = R"({"flash": {"contents": "blank"}})";

INSTANTIATE_TEST_SUITE_P(
    Pmpupdate, PmpFailure,
    ::testing::Values(
        Failure{"ImageMissing", "{}", false, "ERR : open config binfile fail\n",
                image(R"("missing": true)")},
        Failure{"NoDisk", "{}", false,
                "ERR:the sata fd is error\nERR : pmprw, ioctl fail (9)\n"
                "ERR : chk39xdev, read JMB39X fail1\n" +
                    kChip,
                R"({"disks": {"drives": []}})"},
        Failure{"ChipAbsent", R"({"absent": true})", false,
                "ERR : pmprw, ioctl fail (5)\nERR : chk39xdev, read JMB39X fail1\n" + kChip},
        Failure{"NotJmb39x", R"({"presence": 0})", false,
                "ERR : JMB39X device doesn't exist (00000000h)\n" + kChip},
        Failure{"RevisionUnreadable", fault("register_read", 2), false,
                "INFO: JMB39X device exist\nERR : pmprw, ioctl fail (5)\n"
                "ERR : chk39xdev, read JMB39X fail2\n" +
                    kChip},
        Failure{"Unaligned", "{}", false,
                "ERR : chkbinfile, length of binfile isn't alignment (1026)\n" + kFile,
                image(R"("length": 1026)")},
        Failure{"ImageUnreadable", "{}", false, "ERR : chkbinfile, read binfile fail (5)\n" + kFile,
                R"({"faults": [{"call": "pread", "path": "/dav0/vex321.bin"}]})"},
        Failure{"TwentyEightBytes", "{}", false,
                "ERR : chkbinfile, too few data when read binfile (< 32 bytes)\n" + kFile,
                image(R"("length": 28)")},
        Failure{"WrongChipId", "{}", false,
                "ERR : chkbinfile, binfile ID error (33h 197Bh)\n" + kFile,
                image(R"("chip_id": "0x33")")},
        Failure{"WrongVendor", "{}", false,
                "ERR : chkbinfile, binfile ID error (32h 187Bh)\n" + kFile,
                image(R"("vendor": "0x187B")")},
        Failure{"BondingUnreadable", fault("register_read", 3), false,
                "ERR : pmprw, ioctl fail (5)\nERR : chkbinfile, read JMB39X fail1\n" + kFile},
        Failure{"BondingLowUnreadable", fault("register_read", 4), false,
                "ERR : pmprw, ioctl fail (5)\nERR : chkbinfile, read JMB39X fail2\n" + kFile},
        Failure{"WrongBonding", "{}", false,
                "ERR : chkbinfile, bonding is mismatch (JMB39X = 05h, binfile = 06h)\n" + kFile,
                image(R"("bonding": 6)")},
        Failure{"LengthParts", "{}", false,
                "ERR : Binfine length is mismatch (exp: 1000, act: 1024)\n" + kFile,
                image(R"("length_parts": [500, 500])")},
        Failure{"HeaderUnreadable", fault("READ"), false,
                spi("spiREAD") + "ERR : chkflashsts, spiREAD fail (00000000h)\n" + kStatus},
        Failure{"ProbeStatusUnreadable", blank("RDSR"), false,
                spi("spiRDSR") +
                    "ERR : waitflashrdy, spiRDSR fail\n"
                    "ERR : disableflashWP, waitflashrdy(10000) fail1\n" +
                    kWp},
        Failure{"ProbeWpWrenFails", blank("WREN"), true,
                spi("spiWREN") + "ERR : disableflashWP, spiWREN fail\n" + kWp},
        Failure{"ProbeWrsrFails", blank("WRSR"), true,
                spi("spiWRSR") + "ERR : disableflashWP, spiWRSR fail\n" + kWp},
        Failure{"ProbeWrsrNeverEnds",
                R"({"flash": {"contents": "blank", "busy_reads": {"status_write": -1}}})", true,
                kTimeout + "ERR : disableflashWP, waitflashrdy(10000) fail2\n" + kWp},
        Failure{"ProbeBusyBeforeErase",
                R"({"flash": {"contents": "blank", "busy_reads": {"status_write": 0}},
                    "request_faults": [{"kind": "RDSR", "nth": 3, "every": true, "status": 1}]})",
                true, kTimeout + "ERR : eraseflash, waitflashrdy(10000) fail1\n" + kErase},
        Failure{"ProbeEraseWrenFails", blank("WREN", 2), true,
                spi("spiWREN") + "ERR : eraseflash, spiWREN fail\n" + kErase},
        Failure{"ProbeEraseFails", blank("CE"), true,
                spi("spiCE") + "ERR : eraseflash, spiCE fail\n" + kErase},
        Failure{"ProbeEraseNeverEnds",
                R"({"flash": {"contents": "blank", "busy_reads": {"erase": -1}}})", true,
                kTimeout + "ERR : eraseflash, waitflashrdy(10000) fail2\n" + kErase},
        Failure{"ProbeWriteEnableFails", blank("WREN", 5), true,
                spi("spiWREN") + "ERR : writeflash, spiWREN fail (00000008h)\n" + kWrite},
        Failure{"ProbeProgramFails", blank("PP", 2), true,
                spi("spiPP") + "ERR : writeflash, spiPP fail (00000004h)\n" + kWrite},
        Failure{"ProbeProgramNeverEnds",
                R"({"flash": {"contents": "blank", "busy_reads": {"program": -1}}})", true,
                "ERR : waitflashrdy, timeout (1000)"
                "ERR : writeflash, waitflashrdy(1000) fail2 (00000000h)\n" +
                    kWrite},
        Failure{"ProbeReadFails", blank("READ", 3), true,
                spi("spiREAD") +
                    "ERR : readflash, spiREAD fail (00000004h)\n"
                    "ERR : chkflashsts, readflash fail\n" +
                    kStatus},
        Failure{"ProbeReadsOther",
                R"({"flash": {"contents": "blank", "stuck_bits": [{"address": 0, "bit": 0}]}})",
                true,
                "ERR : chkflashsts, chk0 fail, (00010202 FFFEFDFC 55AA55AA F00FFF00)\n" + kStatus},
        Failure{"VerifyReadFails", fault("READ", 3), false,
                "INFO: Verify flash #1\n" + spi("spiREAD") +
                    "ERR : readflash, spiREAD fail (00000004h)\n"
                    "ERR : verifycode, readflash fail (00000004h)\n"
                    "INFO: Total verify size = 4\n" +
                    kVerify},
        Failure{"VerifyImageUnreadable", "{}", false,
                ".\nERR : verifycode, read binfile fail (00000200h)\n"
                "INFO: Total verify size = 512\n" +
                    kVerify,
                readfails(2)},
        Failure{"UploadWpFails", fault("WRSR", 1, R"({"differ": [1020]})"), true,
                "WRN : verifycode, verify not complete\n" + spi("spiWRSR") +
                    "ERR : disableflashWP, spiWRSR fail\n"
                    "ERR : uploadcode, disableflashWP fail\n" +
                    kUpload},
        Failure{"UploadEraseFails", fault("CE", 1, R"({"differ": [1020]})"), true,
                "WRN : verifycode, verify not complete\n" + spi("spiCE") +
                    "ERR : eraseflash, spiCE fail\nERR : uploadcode, eraseflash fail\n" + kUpload},
        Failure{"UploadProgramFails", blank("PP", 7), true,
                "INFO: Upload flash #1\n" + spi("spiPP") +
                    "ERR : writeflash, spiPP fail (00000008h)\n"
                    "ERR : uploadcode, writeflash fail (00000008h)\n"
                    "INFO: Total upload size = 8\n" +
                    kNotComplete},
        Failure{"UploadImageUnreadable", kBlank, true,
                "INFO: Upload flash #1\n.\nERR : uploadcode, read binfile fail (00000200h)\n"
                "INFO: Total upload size = 512\n" +
                    kNotComplete,
                readfails(2)},
        Failure{"UploadImageUnreadableAtItsEnd", kBlank, true,
                "..\nERR : uploadcode, read binfile fail (00000400h)\n"
                "INFO: Total upload size = 1024\nINFO: Upload complete\n" +
                    kUpload,
                readfails(3)},
        Failure{"ReadBackReadFails", blank("READ", 135), true,
                "INFO: Read back flash #1\n." + spi("spiREAD") +
                    "ERR : readflash, spiREAD fail (00000204h)\n"
                    "ERR : uploadcode, readflash fail (00000204h)\n" +
                    kUpload},
        Failure{
            "ReadBackImageUnreadable", kBlank, true,
            "INFO: Read back flash #1\n\nERR : uploadcode, read back binfile fail (00000000h)\n" +
                kUpload,
            readfails(4)},
        Failure{"ReadBackDiffers", R"({"flash": {"contents": "blank", "size": 512}})", true,
                "INFO: Read back flash #1\nERR : uploadcode, verify fail (00000000h) "
                "(JMB39X = 10010149h, binfile = 3201197Bh)\n" +
                    kUpload}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
