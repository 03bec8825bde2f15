// One run of the program on a simulated board, and what it left behind:
// the console, the trace, the test result record, the port multipliers'
// flash and the descriptors process 1 still held as it ended. ftq-sim shows
// it, and the test suite, the fuzz targets and the sweeps judge it.
#pragma once

#include "sim/kernel/kernel.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The test result record and the board settings, as process 1 left them.
struct ResultRecord {
    int32_t usbResult = 0;
    int32_t sataResult = 0;
    int32_t networkError = 0;
    int32_t rs485Error = 0;
    int32_t alarmError = 0;
    int32_t rtcError = 0;
    int usbExpected = 0;
    int boardtype = 0;
};

struct SessionOptions {
    nlohmann::json faults = nlohmann::json::array(); // added to the scenario's own
    std::optional<size_t> signal_point;              // SIGINT at this blocking point
    std::optional<size_t> signal_call_point;         // SIGINT at this call point
    bool record_call_points = false;
    double time_limit_s = 0; // lowers the scenario's limit
    bool record_calls = false;
};

class Session {
  public:
    explicit Session(const Scenario &scenario, const SessionOptions &options = {});
    // A scenario given as JSON text ("{}" is the healthy default board).
    static std::unique_ptr<Session> from_text(const std::string &json,
                                              const SessionOptions &options = {});
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // ftq with these arguments (without the program name).
    const RunResult &run_ftq(const std::vector<std::string> &args);
    // One routine as the whole of process 1, from a fresh process state;
    // its result is the exit status.
    const RunResult &run_routine(const std::function<int(Kernel &)> &body);

    // Console writes also go here as they are made.
    void on_console_write(std::function<void(const Kernel::ConsoleWrite &)> sink) {
        sink_ = std::move(sink);
    }

    const Scenario &scenario() const { return *scenario_; }
    std::unique_ptr<Kernel> kernel;
    RunResult result;

    // After the run.
    ResultRecord record;
    std::vector<bool> chip_holds_image;    // per port multiplier, from chip 1
    bool ended = false;                    // process 1 ended (by exit or by a signal)
    std::vector<std::string> left_open;    // process 1's descriptors as it ended
    int peak_descriptors = 0;              // the most process 1 held at once
    std::vector<int> descriptors_at_write; // as each console write was made

    std::string out() const { return kernel->console_text(); }
    std::vector<TraceEvent> events(const std::string &dev, const std::string &ev = "") const {
        return kernel->trace().of(dev, ev);
    }
    size_t count(const std::string &dev, const std::string &ev = "") const {
        return kernel->trace().count(dev, ev);
    }

  private:
    const RunResult &run(const std::function<int(int, char **)> &entry,
                         const std::vector<std::string> &argv);

    std::unique_ptr<Scenario> scenario_; // the kernel holds on to it
    std::function<void(const Kernel::ConsoleWrite &)> sink_;
};

} // namespace sim
