// Running the program, or a single routine, on the simulated board.
#pragma once

#include "sim/harness/session.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qa {

// A finished run: the session that made it, and short ways into it.
struct SimRun {
    std::unique_ptr<sim::Session> session;
    sim::Kernel *kernel = nullptr;
    sim::RunResult result;

    // Everything written to standard output and error, in order (GB2312).
    std::string out() const { return session->out(); }
    const sim::Trace &trace() const { return kernel->trace(); }
    std::vector<sim::TraceEvent> events(const std::string &dev, const std::string &ev = "") const {
        return session->events(dev, ev);
    }
};

// ftq with these arguments on the board that the scenario text describes
// ("{}" is the healthy default board).
SimRun run_ftq(const std::string &scenario_json, const std::vector<std::string> &args = {});

// One routine as the whole of process 1, from a fresh process state; its
// result is the exit status.
SimRun run_routine(const std::string &scenario_json, std::function<int()> body);

// The same, for a body that needs the board itself (virtual time, trace).
SimRun run_on_board(const std::string &scenario_json, std::function<int(sim::Kernel &)> body);

// Virtual seconds as a double, for readable expectations.
inline double secs(sim::Time t) {
    return static_cast<double>(t) / sim::kSecond;
}

// Reads a file of the repository (scenarios, expected transcripts).
std::string source_file(const std::string &relative);

// The catalog's scenario names (scenarios/*.json without the ending), sorted.
std::vector<std::string> catalog_names();

} // namespace qa
