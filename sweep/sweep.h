// What the sweep's two modes share: the runs of the program they vary, where
// in the program each call of a run was made, the verdicts a run reported,
// and the worker processes that try the cases.
#pragma once

#include "sim/harness/session.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sweep {

// One way to run ftq: a catalog scenario, or a board and command line of
// the sweep's own.
struct Subject {
    std::string name;
    sim::Scenario scenario;
    std::vector<std::string> args; // ftq's arguments
};

// The catalog's scenarios by name; those whose name contains one of `only`
// when it is not empty.
std::vector<Subject> catalog(const std::vector<std::string> &only);
bool wanted(const std::string &name, const std::vector<std::string> &only);

// ftq as the subject says, with its calls recorded.
using Run = std::unique_ptr<sim::Session>;
Run run(const Subject &subject, sim::SessionOptions options = {});

// What the run is: the whole run, a single test, or neither (help or a
// rejected command line).
enum class Mode { WholeRun, SingleTest, Other };
Mode mode_of(const Subject &subject);
int single_test_number(const Subject &subject); // 0 unless a valid single test

// Where in the program each recorded call was made: "start" (up to the
// privilege check), "setup" (up to the heartbeat thread), "step N" of the
// whole run, "report", "summary", "end", or "test N" of a single test.
std::vector<std::string> call_contexts(const Subject &subject, const sim::Session &run);

// The verdicts a run reported, each of "network", "alarm", "rtc", "rs485",
// "usb", "chip1", "chip2"; for the whole run those its summary weighs, as
// the result record holds them at the end.
struct Verdicts {
    bool reported = false; // the run got as far as reporting them
    std::map<std::string, bool> passed;
};
Verdicts verdicts_of(const Subject &subject, const sim::Session &run);

double seconds(sim::Time t);
template <class... A> std::string fmt(const char *format, A... a) {
    char buf[512];
    snprintf(buf, sizeof buf, format, a...);
    return buf;
}

// What trying one case found.
struct Result {
    bool applied = true;             // the fault fired where it was aimed
    std::vector<std::string> broken; // the rules broken, each with what was seen
    std::string by_design;           // the reason when the program does so on purpose
    std::string handler;             // the disposition an interrupt met
};

// try_case(0) ... try_case(n - 1) in `jobs` worker processes, the results
// in case order; ends the sweep when a worker fails.
std::vector<Result> run_cases(size_t n, int jobs, const std::function<Result(size_t)> &try_case);

// Prints how many cases were tried and how many broke a rule, the
// unexpected breaks, and by reason those the program makes by design;
// returns the sweep's exit status: 1 when a break is unexpected.
int report(const char *cases, const std::vector<Result> &results, bool verbose,
           const std::function<std::string(size_t)> &label);

struct Options {
    bool full = false; // every occurrence class; for interrupts, the whole catalog too
    bool verbose = false;
    int jobs = 2;
    std::vector<std::string> only; // subjects whose name contains one of these
};
int fault_sweep(const Options &options);
int signal_sweep(const Options &options);

} // namespace sweep
