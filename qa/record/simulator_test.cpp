// The records read from the simulated board's console agree with what the
// simulator itself knows of the run: on every catalog scenario alone, and
// on a day's capture of a hundred runs as a station's terminal logs them.
#include "records.h"
#include "simrun.h"

#include "sim/harness/harness.h"
#include "sim/harness/result.h"
#include "sim/harness/session.h"
#include "src/platform/sys.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>
#include <map>
#include <random>

namespace {

using qa::record::Json;

unsigned word(const uint8_t *b, size_t off) {
    return b[off] | (b[off + 1] << 8);
}
unsigned bits(unsigned w, int hi, int lo) {
    return (w >> lo) & ((1u << (hi - lo + 1)) - 1);
}

// The board information report's texts, by code.
const char *pick(unsigned code, std::initializer_list<const char *> texts) {
    return code < texts.size() ? texts.begin()[code] : "N/A";
}

std::string model_text(unsigned code) {
    static const char *const models[] = {"QB-71024", "QB-71031", "QB-71033", "QB-71027",
                                         nullptr,    "QB-71046", "QB-71052", "QB-71058",
                                         "QB-71063", "QB-71069"};
    if (code >= 1 && code <= 10 && models[code - 1])
        return models[code - 1];
    char buf[16];
    snprintf(buf, sizeof buf, "QB00%02X", code);
    return buf;
}

std::string ata_text(const uint8_t *block, size_t off, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; i += 2) {
        s += static_cast<char>(block[off + i + 1]);
        s += static_cast<char>(block[off + i]);
    }
    return s;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The run's own outcome: "verdict" ("pass", "fail" or null when no summary
// was printed), "usb", "sata" and "failed", from the test result record
// the program left and how it ended. The result builder of the simulator's
// harness gives the same fields.
Json run_outcome(const sim::Session &s) {
    const sim::ResultRecord &r = s.record;
    Json o = {{"verdict", nullptr}, {"usb", nullptr}, {"sata", nullptr}, {"failed", Json::array()}};
    // The summary's head line as the program prints it (GB2312 here).
    if (s.out().find("FTQ测试结果如下:\n") == std::string::npos)
        return o;
    bool passed = !r.networkError && !r.rs485Error && !r.alarmError && !r.rtcError &&
                  r.usbExpected == r.usbResult;
    o["verdict"] = passed ? "pass" : "fail";
    o["usb"] = r.usbResult;
    o["sata"] = r.sataResult;
    if (passed)
        return o;
    for (auto [error, step] : {std::pair{r.networkError, "network"},
                               {r.rs485Error, "rs485"},
                               {r.alarmError, "alarm"},
                               {r.rtcError, "rtc"}})
        if (error)
            o["failed"].push_back(step);
    int usb = r.boardtype == 6 ? 2 : r.boardtype == 2 || r.boardtype == 5 ? 3 : r.usbExpected;
    if (r.usbResult != usb)
        o["failed"].push_back("usb");
    return o;
}

// The board report and the disks that the scenario (a file of the
// repository) gives, asked of the device models directly (faults and signals left out): "board"
// (null when its record cannot be read) and "disks", each disk that answers IDENTIFY DEVICE among
// the names the SATA test tries.
Json scenario_board_and_disks(const std::string &scenario_file) {
    nlohmann::json doc = nlohmann::json::parse(qa::source_file(scenario_file));
    doc.erase("faults");
    doc.erase("signals");
    Json out = {{"board", nullptr}, {"disks", Json::array()}};

    qa::run_routine(doc.dump(), [&] {
        uint8_t b[256] = {};
        int fd = sys::open("/dev/vexio", O_RDWR);
        bool readable = fd >= 0 && sys::ioctl(fd, 0x04, b) == 0 && word(b, 4) != 0xFFFF;
        if (fd >= 0)
            sys::close(fd);
        unsigned sata_port_num = 0;
        if (readable) {
            unsigned w1 = word(b, 16);
            unsigned w2 = bits(w1, 0, 0) ? word(b, 32) : 0;
            unsigned w3 = bits(w2, 0, 0) ? word(b, 48) : 0;
            unsigned w4 = bits(w3, 0, 0) ? word(b, 64) : 0;
            unsigned id = word(b, 6);
            bool nvr = bits(w3, 13, 13);
            std::string kind = nvr ? "(NVR)" : bits(w3, 1, 1) ? "(DVS)" : "(DVR)";
            unsigned date = word(b, 20);
            char cpld[64];
            snprintf(cpld, sizeof cpld, reinterpret_cast<const char *>(u8"20%u%u年%02u月%u%u日"),
                     bits(date, 15, 14), bits(date, 13, 10), bits(date, 9, 6), bits(date, 5, 4),
                     bits(date, 3, 0));
            Json board = Json::object();
            if (b[15] < 1 || b[15] > 10 || b[15] == 5)
                board["unrecognisedModel"] = model_text(b[15]);
            board.update(Json{
                {"deviceType", model_text(b[15]) + kind},
                {"armClock", pick(bits(w1, 15, 14), {"720M", "1G"})},
                {"dspClock", pick(bits(w1, 13, 12), {"600MHz", "800MHz"})},
                {"memClock", pick(bits(w1, 11, 10), {"666MHz", "800MHz", "933MHz"})},
                {"memSize", pick(bits(w1, 9, 8), {"1GB", "768MB", "1.5GB"})},
                {"flashSize", pick(bits(w1, 6, 3), {"16MB", "32MB", "64MB", "2MB+256MB"})},
                {"cpldVersion", cpld},
                {"alarmInputs", bits(w4, 12, 10) == 1 ? 4 : 16},
                {"alarmOutputs", bits(w4, 15, 13) == 1 ? 2 : 4},
            });
            out["board"] = board;
            static const unsigned table[] = {0, 2, 4, 5, 6, 7, 8, 9};
            unsigned code = nvr ? bits(id, 4, 1) : bits(w2, 5, 2);
            if (bits(w2, 5, 2) <= 8 && code <= 7)
                sata_port_num = table[code];
        }
        unsigned names = sata_port_num == 9 ? 9 : sata_port_num + 1;
        for (unsigned i = 0; i < names; ++i) {
            std::string node = std::string("/dev/sd") + static_cast<char>('a' + i);
            int d = sys::open(node.c_str(), O_RDWR | O_NONBLOCK);
            if (d < 0)
                continue;
            uint8_t args[516] = {0xEC, 0, 0, 1};
            if (sys::ioctl(d, 0x031F, args) == 0) {
                const uint8_t *id = args + 4;
                // The bytes as a GB2312 console shows them.
                std::string serial = sim::gb2312_to_utf8(ata_text(id, 20, 20));
                std::string model = sim::gb2312_to_utf8(ata_text(id, 54, 40));
                std::string firmware = sim::gb2312_to_utf8(ata_text(id, 46, 8));
                uint64_t bytes = ~0ULL;
                unsigned long sectors = 0;
                if (sys::ioctl(d, BLKGETSIZE64, &bytes) != 0)
                    bytes =
                        sys::ioctl(d, BLKGETSIZE, &sectors) == 0 ? uint64_t(sectors) << 9 : ~0ULL;
                out["disks"].push_back({{"node", node},
                                        {"serial", serial},
                                        {"serialTrimmed", trimmed(serial)},
                                        {"model", model},
                                        {"modelTrimmed", trimmed(model)},
                                        {"firmware", firmware},
                                        {"firmwareTrimmed", trimmed(firmware)},
                                        {"capacityGB", bytes >> 30}});
            }
            sys::close(d);
        }
        return 0;
    });
    return out;
}

sim::Scenario scenario_of(const std::string &name) {
    return sim::Scenario::from_file(std::string(FTQ_SOURCE_DIR) + "/scenarios/" + name + ".json");
}

std::unique_ptr<sim::Session> run(const sim::Scenario &scenario) {
    auto s = std::make_unique<sim::Session>(scenario);
    s->run_ftq(sim::scenario_args(scenario));
    return s;
}

class RecordOfScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordOfScenario, AgreesWithTheSimulator) {
    const std::string name = GetParam();
    const sim::Scenario scenario = scenario_of(name);
    auto s = run(scenario);
    std::vector<Json> records = qa::record::parse_text(s->out(), name);
    // Every scenario is one run of ftq; a capture the tool cannot read
    // exactly fails here.
    ASSERT_EQ(records.size(), 1u) << name;
    const Json &r = records[0];
    EXPECT_EQ(r["unknown"], Json::array()) << name;

    Json sim = run_outcome(*s);
    // ftq-sim --result, which reads the summary from the console, says the
    // same as the record the program left behind.
    Json result = sim::run_result(*s, name, sim::scenario_args(scenario));
    EXPECT_EQ(result["verdict"], sim["verdict"]) << name;
    EXPECT_EQ(result["failed"], sim["failed"]) << name;
    if (sim["verdict"].is_null())
        EXPECT_TRUE(r["verdict"].is_null() || r["verdict"] == "incomplete") << name;
    else
        EXPECT_EQ(r["verdict"], sim["verdict"]) << name;
    EXPECT_EQ(r["usb"], sim["usb"]) << name;
    EXPECT_EQ(r["sata"], sim["sata"]) << name;
    EXPECT_EQ(r["failed"], sim["failed"]) << name;
    EXPECT_EQ(r["boardType"], s->record.boardtype) << name;
    // The RTC test's own verdict, worked out from the readings printed.
    if (r["rtc"].is_object() && r["rtc"]["readings"].size() == 3) {
        EXPECT_EQ(r["rtc"]["passed"], s->record.rtcError == 0) << name;
    }

    // These print a board report (true), disks (how many), or both: the
    // comparisons below are made on real reports.
    static const std::map<std::string, std::pair<bool, size_t>> reporting = {
        {"healthy-type1", {true, 5}},
        {"healthy-type2", {true, 9}},
        {"board-report-nvr", {true, 0}},
        {"board-report-unknown-model", {true, 0}},
        {"sata-nine-names", {false, 2}}};
    if (auto it = reporting.find(name); it != reporting.end()) {
        EXPECT_EQ(r["board"].is_object(), it->second.first) << name;
        EXPECT_EQ(r["disks"].size(), it->second.second) << name;
    }

    // Faults can make the program see another board than the scenario
    // describes; the board and disks are compared where none are set.
    if (scenario.doc().contains("faults"))
        return;
    Json expected = scenario_board_and_disks("scenarios/" + name + ".json");
    if (!r["board"].is_null()) {
        EXPECT_EQ(r["board"], expected["board"]) << name;
    }
    if (!r["sata"].is_null() || !r["disks"].empty()) {
        EXPECT_EQ(r["disks"], expected["disks"]) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Catalog, RecordOfScenario, ::testing::ValuesIn(qa::catalog_names()),
                         [](const auto &info) {
                             std::string n = info.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

// A day's capture as a station's terminal program logs it: boot messages,
// the shell, CR LF line ends, the operator's Enter echoed between the
// program's messages, the kernel writing into its lines, and one board
// losing power in the middle of its run.
TEST(DayCapture, HundredRunsGiveNinetyNineRecordsAndOneIncomplete) {
    std::vector<std::string> whole;
    for (const std::string &name : qa::catalog_names()) {
        auto s = run(scenario_of(name));
        if (!run_outcome(*s)["verdict"].is_null())
            whole.push_back(name);
    }
    ASSERT_GE(whole.size(), 20u);

    std::mt19937 random(22);
    const int runs = 100;
    const int cut = std::uniform_int_distribution<int>(10, runs - 10)(random);
    const std::string boot =
        "U-Boot 2010.06 (Mar 02 2012 - 10:12:01)\r\n"
        "<5>[    0.000000] Linux version 2.6.37 (build@factory)\r\n"
        "[    1.843750] EXT2-fs (mtdblock3): warning: mounting unchecked fs\r\n"
        "Starting syslogd: OK\r\n\r\n# ftq\r\n";

    std::string capture;
    std::vector<Json> alone_records; // of each run's bytes alone
    std::vector<std::string> names;
    for (int i = 0; i < runs; ++i) {
        const std::string &name =
            whole[std::uniform_int_distribution<size_t>(0, whole.size() - 1)(random)];
        names.push_back(name);
        auto s = run(scenario_of(name));
        const auto &writes = s->kernel->console();
        const size_t end = i == cut ? writes.size() / 2 : writes.size();
        capture += boot;
        std::string alone;
        for (size_t w = 0; w < end; ++w) {
            alone += writes[w].bytes;
            for (char c : writes[w].bytes)
                capture += c == '\n' ? "\r\n" : std::string(1, c);
            // An Enter pressed at a console wait comes back between the
            // program's lines; the kernel prints wherever output stands.
            int what = std::uniform_int_distribution<int>(0, 19)(random);
            if (what == 0 && writes[w].bytes.back() == '\n')
                capture += "\r\n";
            else if (what == 1)
                capture += "[  " + std::to_string(100 + i) +
                           ".250000] usb 1-1: new high speed USB device using ehci-omap\r\n";
        }
        alone_records.push_back(qa::record::parse_text(alone, "day.log").at(0));
    }

    std::vector<Json> records = qa::record::parse_text(capture, "day.log");
    ASSERT_EQ(records.size(), static_cast<size_t>(runs));
    // Each run alone agrees with the simulator (the catalog test above), so
    // a run read from the day's capture agrees when it equals that record.
    int complete = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const Json &r = records[i];
        SCOPED_TRACE("run " + std::to_string(i) + " " + names[i]);
        EXPECT_EQ(r["unknown"], Json::array());
        size_t offset = r["source"]["offset"].get<size_t>();
        EXPECT_TRUE(capture.compare(offset, 1, " ") == 0 ||
                    capture.compare(offset, 7, "sysInit") == 0)
            << "a run starts at its first line";
        EXPECT_EQ(qa::record::without_offsets({r}),
                  qa::record::without_offsets({alone_records[i]}));
        if (static_cast<int>(i) == cut)
            EXPECT_EQ(r["verdict"], "incomplete");
        else
            complete += r["verdict"] == "pass" || r["verdict"] == "fail";
    }
    EXPECT_EQ(complete, runs - 1);
}

} // namespace
