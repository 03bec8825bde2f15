// What the sweeps share: the scenario catalog, one run of the program on
// the simulated board with everything a rule needs to judge it, where in the
// program a call was made, and the verdicts the run reported.
#pragma once

#include "sim/harness/session.h"
#include "sim/kernel/kernel.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sweep {

// One scenario of the catalog.
struct Entry {
    std::string name; // file name without .json
    nlohmann::json doc;
    std::vector<std::string> args; // ftq's arguments
};

// Every scenario of the catalog folder, by name; those whose name contains
// one of `only` when it is not empty.
std::vector<Entry> load_catalog(const std::string &dir, const std::vector<std::string> &only = {});

using Record = sim::ResultRecord;

struct RunOptions {
    bool record_calls = false;
    nlohmann::json faults = nlohmann::json::array(); // added to the scenario's own
    std::optional<size_t> signal_point;              // SIGINT at this blocking point
    double time_limit_s = 0;                         // lowers the scenario's limit
};

struct Outcome {
    sim::RunResult result;
    std::vector<sim::Kernel::ConsoleWrite> console;
    std::vector<sim::Kernel::CallRecord> calls;
    std::vector<sim::Kernel::BlockingPoint> blocking;
    std::vector<sim::TraceEvent> trace;
    Record record;
    // Per port multiplier: its flash begins with the firmware image.
    std::vector<bool> chip_holds_image;
    std::map<int, int> processes; // pid -> wait status (-1 still running)
    // Descriptors open in process 1: the most seen (sampled at every console
    // write and device event) and those still open as it ended.
    int peak_descriptors = 0;
    int descriptors_at_exit = -1;
    std::vector<int> descriptors_at_write; // as each console write was made

    std::string text() const;                   // every console byte, in order
    std::string text_of(int pid) const;         // one process's console bytes
    bool has(const std::string &gb_text) const; // text() contains it
    size_t trace_count(const std::string &dev, const std::string &ev) const;
};

// Runs ftq as the scenario says, with the options' additions.
Outcome run(const Entry &entry, const RunOptions &options = {});

// What the run is: the whole run, a single test, or neither (help or a
// rejected command line).
enum class Mode { WholeRun, SingleTest, Other };
Mode mode_of(const Entry &entry);
int single_test_number(const Entry &entry); // 0 unless a valid single test

// Where in the program each recorded call was made: "start" (up to the
// privilege check), "setup" (up to the heartbeat thread), "step N" of the
// whole run, "report", "summary", "end", or "test N" of a single test.
std::vector<std::string> call_contexts(const Entry &entry, const Outcome &outcome);

// The label a console write starts when it is one of the whole run's
// landmarks: "step N" for a step heading, "report", "summary", "end".
std::optional<std::string> landmark(const std::string &bytes);

// The verdicts a run reported. A verdict is one of "network", "alarm",
// "rtc", "rs485", "usb", "chip1", "chip2". A single test's verdict needs
// the run's calls (RunOptions::record_calls) to see that the test ran.
struct Verdicts {
    bool reported = false; // the run got as far as reporting them
    bool summary_ok = false;
    // The verdicts the run reports (for the whole run, those its summary
    // weighs, as the test result record holds them at the end).
    std::map<std::string, bool> passed;
};
Verdicts verdicts_of(const Entry &entry, const Outcome &outcome);

// Texts of the program (UTF-8 here) as the console carries them (GB2312).
std::string gb(const std::string &utf8);

std::string describe_request(const std::optional<unsigned long> &request);
double seconds(sim::Time t);

} // namespace sweep
