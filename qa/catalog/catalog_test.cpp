// Every scenario of the catalog shows exactly its expected transcript: what
// the operator sees on standard output and, apart, on standard error, where
// the time goes and what the board did. Each runs twice and must give the
// same bytes, and leaves no descriptor open but those the program keeps by
// design, nor holds more at once than its uses need.
#include "sim/harness/harness.h"
#include "sim/harness/report.h"
#include "sim/harness/result.h"
#include "sim/harness/session.h"
#include "simrun.h"
#include "trace_doc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <set>

namespace {

struct Shown {
    std::string out; // standard output, the steps and what the board did
    std::string err; // standard error
    std::string board;
    std::string raw; // the program's own bytes, both streams in order
    std::vector<std::string> left_open;
    int peak_descriptors = 0;
    std::set<int> other_streams; // written to besides standard output and error
    nlohmann::json result;       // what ftq-sim --result writes
    std::set<std::pair<std::string, std::string>> trace_kinds;
    bool signalled = false; // a signal ended the program
    int status = 0;         // or its exit status
};

Shown run(const sim::Scenario &scenario) {
    sim::Session s(scenario);
    s.run_ftq(sim::scenario_args(scenario));
    Shown shown;
    std::string out, err;
    for (const auto &w : s.kernel->console()) {
        (w.fd == 2 ? err : out) += w.bytes;
        if (w.fd != 1 && w.fd != 2)
            shown.other_streams.insert(w.fd);
        shown.raw += w.bytes;
    }
    shown.out = sim::gb2312_to_utf8(out);
    shown.err = sim::gb2312_to_utf8(err);
    shown.board = sim::board_report(s);
    shown.out += sim::step_table(*s.kernel, s.result) + shown.board;
    shown.left_open = s.left_open;
    shown.signalled = s.result.end == sim::RunResult::End::Signalled;
    shown.status = s.result.end == sim::RunResult::End::Exited ? s.result.code : -1;
    shown.peak_descriptors = s.peak_descriptors;
    shown.result = sim::run_result(s, "", sim::scenario_args(scenario));
    for (const auto &e : s.kernel->trace().events())
        shown.trace_kinds.insert({e.dev, e.ev});
    return shown;
}

std::string optional_file(const std::string &relative) {
    try {
        return qa::source_file(relative);
    } catch (const std::exception &) {
        return "";
    }
}

// The RS-485 test ran: the whole run's seventh step, whose heading is the
// only line that begins "第7步:", or test 4 alone ("-o 4", "-o 04", "-O 4x").
// The heading is looked for in the program's own bytes: the board build's
// tests run where no GB2312 converter is at hand.
bool reached_rs485(const sim::Scenario &scenario, const std::string &out) {
    const std::string heading = "\xB5\xDA"
                                "7"
                                "\xB2\xBD:"; // GB2312
    if (out.rfind(heading, 0) == 0 || out.find("\n" + heading) != std::string::npos)
        return true;
    std::vector<std::string> args = sim::scenario_args(scenario);
    if (args.size() != 2 || (args[0] != "-o" && args[0] != "-O"))
        return false;
    const std::string &n = args[1];
    auto digit = [&](size_t i) {
        return n.size() > i && isdigit(static_cast<unsigned char>(n[i]));
    };
    return digit(0) && (digit(1) ? n[0] == '0' && n[1] == '4' : n[0] == '4');
}

class Catalog : public ::testing::TestWithParam<std::string> {};

TEST_P(Catalog, ShowsItsExpectedTranscript) {
    const std::string name = GetParam();
    sim::Scenario scenario =
        sim::Scenario::from_file(std::string(FTQ_SOURCE_DIR) + "/scenarios/" + name + ".json");
    ASSERT_FALSE(scenario.root().text("description", "").empty())
        << "every catalog scenario says in one line what it is";
    Shown first = run(scenario);
    Shown second = run(scenario);
    EXPECT_TRUE(first.raw == second.raw && first.board == second.board)
        << name << " gave other bytes when run again";

    // The panel link, and from the RS-485 step on its port and the board
    // I/O descriptor its line control needs, stay open to the end on
    // purpose; before that step either one left open is a leak.
    // A signal that ends the program inside a test leaves that test's
    // descriptors open, and the failed watchdog set-up ends it with its
    // board I/O descriptor's number as the status: both on purpose.
    std::set<std::string> kept = {"/dev/ttyS2"};
    if (reached_rs485(scenario, first.raw) || first.signalled)
        kept.insert({"/dev/ttyS1", "/dev/vexio"});
    if (first.status == 3 && first.left_open == std::vector<std::string>{"/dev/vexio"})
        kept.insert("/dev/vexio");
    for (const std::string &path : first.left_open) {
        EXPECT_TRUE(kept.count(path)) << name << " left " << path << " open";
        // One of them twice is a leak, unless a signal cut a routine
        // short that held its own (the error tone, for one).
        EXPECT_TRUE(first.signalled ||
                    std::count(first.left_open.begin(), first.left_open.end(), path) == 1)
            << name << " left " << path << " open more than once";
    }
    // Besides those and the standard streams, a use holds at most two at
    // once (a disk and the image file).
    // Standard input may be a pipe or /dev/null on the line: what goes
    // there is lost.
    EXPECT_TRUE(first.other_streams.empty())
        << name << " wrote to descriptor " << *first.other_streams.begin();
    EXPECT_LE(first.peak_descriptors, 3 + 3 + 2) << name << ": descriptors piled up";

    EXPECT_NE(optional_file("docs/catalog.md").find("`" + name + "`"), std::string::npos)
        << "docs/catalog.md does not list " << name;
    static const qa::TraceDoc trace_doc(optional_file("docs/trace.md"));
    for (const auto &[dev, ev] : first.trace_kinds)
        EXPECT_TRUE(trace_doc.names(dev, ev))
            << "docs/trace.md does not name " << dev << " / " << ev;

    // --result says what the transcript's last lines say: the record, and
    // how ftq ended.
    const nlohmann::json &rec = first.result["record"];
    std::string record_line = "test result record: usbResult " + rec["usbResult"].dump() +
                              ", sataResult " + rec["sataResult"].dump() + ", networkError " +
                              rec["networkError"].dump() + ", rs485Error " +
                              rec["rs485Error"].dump() + ", alarmError " +
                              rec["alarmError"].dump() + ", rtcError " + rec["rtcError"].dump() +
                              "; expected USB count " + rec["expectedUsbCount"].dump() + "\n";
    EXPECT_NE(first.board.find(record_line), std::string::npos)
        << name << ": the result's record is not the transcript's:\n"
        << record_line;
    std::string ended = first.board.substr(first.board.rfind("ftq ended: ") + 11);
    nlohmann::json exit = {{"stalled", true}};
    int number = 0;
    if (std::sscanf(ended.c_str(), "exit status %d", &number) == 1)
        exit = {{"status", number}};
    else if (std::sscanf(ended.c_str(), "killed by signal %d", &number) == 1)
        exit = {{"signal", number == 2 ? "SIGINT" : number == 15 ? "SIGTERM" : "another"}};
    EXPECT_EQ(first.result["exit"], exit) << name << ": ftq ended: " << ended;

    std::string expected_file = "scenarios/" + name + ".expected";
    std::string expected = optional_file(expected_file);
    ASSERT_FALSE(expected.empty())
        << expected_file << " is missing; draft it with ftq-sim --scenario " << name
        << " and check every line against the product's texts before adding it";
    bool converts = false;
    sim::gb2312_to_utf8("", &converts);
    if (!converts) {
        // The console text and the step headings need a GB2312 converter;
        // what the board did is plain text and is still compared.
        EXPECT_TRUE(expected.size() >= first.board.size() &&
                    expected.compare(expected.size() - first.board.size(), first.board.size(),
                                     first.board) == 0)
            << "what the board did in " << name << " differs from the end of " << expected_file
            << ":\n"
            << first.board;
        GTEST_SKIP() << "console text not compared: this system's iconv has no GB2312 converter "
                        "(qemu-user sysroots lack gconv modules)";
    }
    EXPECT_EQ(first.out, expected) << "the run of " << name << " differs from " << expected_file;
    EXPECT_EQ(first.err, optional_file("scenarios/" + name + ".stderr"))
        << "standard error of " << name << " differs from scenarios/" << name
        << ".stderr (absent: nothing on standard error)";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Catalog, ::testing::ValuesIn(qa::catalog_names()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string id = info.param;
                             std::replace_if(
                                 id.begin(), id.end(), [](char c) { return !isalnum(c); }, '_');
                             return id;
                         });

} // namespace
