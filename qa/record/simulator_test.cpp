// The records read from the simulated board's console agree with what the
// simulator itself knows of the run: on every catalog scenario alone, and
// on a day's capture of a hundred runs as a station's terminal logs them.
#include "simulated.h"
#include "simrun.h"

#include "record/parser.h"
#include "sim/harness/harness.h"
#include "sim/harness/result.h"
#include "sim/harness/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <map>
#include <random>

namespace {

using qa::record::Json;

std::string scenario_file(const std::string &name) {
    return std::string(FTQ_SOURCE_DIR) + "/scenarios/" + name + ".json";
}

std::unique_ptr<sim::Session> run(const std::string &name) {
    sim::Scenario scenario = sim::Scenario::from_file(scenario_file(name));
    auto s = std::make_unique<sim::Session>(scenario);
    s->run_ftq(sim::scenario_args(scenario));
    return s;
}

Json without_source(Json r) {
    r.erase("source");
    return r;
}

class RecordOfScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordOfScenario, AgreesWithTheSimulator) {
    const std::string name = GetParam();
    auto s = run(name);
    std::vector<Json> records = qa::record::parse_text(qa::record::console_bytes(*s), name);
    // Every scenario is one run of ftq; a capture the tool cannot read
    // exactly fails here.
    ASSERT_EQ(records.size(), 1u) << name;
    const Json &r = records[0];
    EXPECT_EQ(r["unknown"], Json::array()) << name;

    Json sim = qa::record::run_outcome(*s);
    // ftq-sim --result, which reads the summary from the console, says the
    // same as the record the program left behind.
    sim::Scenario scenario = sim::Scenario::from_file(scenario_file(name));
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

    // Faults can make the program see another board than the scenario
    // describes; the board and disks are compared where none are set.
    if (scenario.doc().contains("faults"))
        return;
    Json expected = qa::record::scenario_board_and_disks(scenario_file(name));
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

// The check above must have compared boards and disks on real reports.
TEST(RecordOfScenario, ComparesReportsOnMostOfTheCatalog) {
    int boards = 0;
    int disks = 0;
    for (const char *name : {"healthy-type1", "healthy-type2", "board-report-nvr",
                             "board-report-unknown-model", "sata-nine-names"}) {
        auto s = run(name);
        for (const Json &r : qa::record::parse_text(qa::record::console_bytes(*s))) {
            boards += r["board"].is_object();
            disks += static_cast<int>(r["disks"].size());
        }
    }
    EXPECT_GE(boards, 4);
    EXPECT_GE(disks, 10);
}

// A day's capture as a station's terminal program logs it: boot messages,
// the shell, CR LF line ends, the operator's Enter echoed between the
// program's messages, the kernel writing into its lines, and one board
// losing power in the middle of its run.
TEST(DayCapture, HundredRunsGiveNinetyNineRecordsAndOneIncomplete) {
    std::vector<std::string> whole;
    for (const std::string &name : qa::catalog_names()) {
        auto s = run(name);
        if (!qa::record::run_outcome(*s)["verdict"].is_null())
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
    auto crlf = [](const std::string &s) {
        std::string o;
        for (char c : s) {
            if (c == '\n')
                o += '\r';
            o += c;
        }
        return o;
    };

    std::string capture;
    struct Expected {
        Json outcome;
        Json clean; // the record of the run's bytes alone
    };
    std::vector<Expected> expected;
    std::vector<std::string> names;
    for (int i = 0; i < runs; ++i) {
        const std::string &name =
            whole[std::uniform_int_distribution<size_t>(0, whole.size() - 1)(random)];
        names.push_back(name);
        auto s = run(name);
        const auto &writes = s->kernel->console();
        const size_t end = i == cut ? writes.size() / 2 : writes.size();
        capture += boot;
        std::string alone;
        for (size_t w = 0; w < end; ++w) {
            alone += writes[w].bytes;
            capture += crlf(writes[w].bytes);
            // An Enter pressed at a console wait comes back between the
            // program's lines; the kernel prints wherever output stands.
            int what = std::uniform_int_distribution<int>(0, 19)(random);
            if (what == 0 && writes[w].bytes.back() == '\n')
                capture += "\r\n";
            else if (what == 1)
                capture += "[  " + std::to_string(100 + i) +
                           ".250000] usb 1-1: new high speed USB device using ehci-omap\r\n";
        }
        expected.push_back({qa::record::run_outcome(*s), qa::record::parse_text(alone).at(0)});
    }

    std::vector<Json> records = qa::record::parse_text(capture, "day.log");
    ASSERT_EQ(records.size(), static_cast<size_t>(runs));
    int complete = 0;
    for (int i = 0; i < runs; ++i) {
        const Json &r = records[static_cast<size_t>(i)];
        const Json &sim = expected[static_cast<size_t>(i)].outcome;
        SCOPED_TRACE("run " + std::to_string(i) + " " + names[static_cast<size_t>(i)]);
        EXPECT_EQ(r["unknown"], Json::array());
        size_t offset = r["source"]["offset"].get<size_t>();
        EXPECT_TRUE(capture.compare(offset, 1, " ") == 0 ||
                    capture.compare(offset, 7, "sysInit") == 0)
            << "a run starts at its first line";
        EXPECT_EQ(without_source(r), without_source(expected[static_cast<size_t>(i)].clean));
        if (i == cut) {
            EXPECT_EQ(r["verdict"], "incomplete");
            continue;
        }
        complete += r["verdict"] == sim["verdict"] && r["usb"] == sim["usb"] &&
                    r["sata"] == sim["sata"] && r["failed"] == sim["failed"];
    }
    EXPECT_EQ(complete, runs - 1);
}

} // namespace
