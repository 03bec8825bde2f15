#include "sim/harness/session.h"

#include "board/boardinfo.h"
#include "driver/driver.h"
#include "driver/procstate.h"
#include "driver/result.h"
#include "sim/models/disks.h"

#include <algorithm>
#include <csignal>

namespace sim {

namespace {

Scenario with_options(const Scenario &scenario, const SessionOptions &options) {
    if (options.faults.empty() && options.time_limit_s <= 0)
        return scenario;
    // A section of the wrong type is left as it is, for the board to refuse
    // with its field named.
    nlohmann::json doc = scenario.doc();
    if (!options.faults.empty()) {
        nlohmann::json &list = doc["faults"];
        if (list.is_null())
            list = nlohmann::json::array();
        if (list.is_array())
            for (const auto &f : options.faults)
                list.push_back(f);
    }
    if (options.time_limit_s > 0) {
        nlohmann::json &system = doc["system"];
        if (system.is_null())
            system = nlohmann::json::object();
        if (system.is_object()) {
            nlohmann::json &given = system["time_limit"];
            if (given.is_null() ||
                (given.is_number() && given.get<double>() > options.time_limit_s))
                given = options.time_limit_s;
        }
    }
    return scenario.edited(std::move(doc));
}

} // namespace

Session::Session(const Scenario &scenario, const SessionOptions &options)
    : scenario_(std::make_unique<Scenario>(with_options(scenario, options))) {
    kernel = std::make_unique<Kernel>(*scenario_);
    kernel->record_calls(options.record_calls);
    if (options.signal_point)
        kernel->signal_at_blocking_point(*options.signal_point, SIGINT);
    kernel->record_call_points(options.record_call_points);
    if (options.signal_call_point)
        kernel->signal_at_call_point(*options.signal_call_point, SIGINT);
}

std::unique_ptr<Session> Session::from_text(const std::string &json,
                                            const SessionOptions &options) {
    return std::make_unique<Session>(Scenario::from_text(json), options);
}

const RunResult &Session::run_ftq(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"ftq"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(
        [](int argc, char **argv_) {
            reset_process_state();
            return ftq_main(argc, argv_);
        },
        argv);
}

const RunResult &Session::run_routine(const std::function<int(Kernel &)> &body) {
    Kernel &k = *kernel;
    return run(
        [&body, &k](int, char **) {
            reset_process_state();
            return body(k);
        },
        {"ftq"});
}

const RunResult &Session::run(const std::function<int(int, char **)> &entry,
                              const std::vector<std::string> &argv) {
    Kernel &k = *kernel;
    auto sample = [this, &k] {
        peak_descriptors = std::max(peak_descriptors, k.open_descriptors(1));
    };
    k.on_console_write([this, &k, sample](const Kernel::ConsoleWrite &w) {
        sample();
        descriptors_at_write.push_back(k.open_descriptors(1));
        if (sink_)
            sink_(w);
    });
    int listening = k.trace().listen([this, &k, sample](const TraceEvent &e) {
        sample();
        // Traced as the process ends, before its descriptors close.
        if (e.dev == "kernel" && e.ev == "process_end" && e.data.value("pid", 0) == 1) {
            ended = true;
            left_open = k.open_paths(1);
            // The standard streams stay open to the end by design.
            if (left_open.size() >= 3)
                left_open.erase(left_open.begin(), left_open.begin() + 3);
        }
    });
    result = k.run(entry, argv);
    k.trace().stop_listening(listening);
    k.on_console_write(nullptr);

    // The program's process-wide state is this process's own: what the
    // run left in it is what its process 1 left.
    record.usbResult = usbResult;
    record.sataResult = sataResult;
    record.networkError = networkError;
    record.rs485Error = rs485Error;
    record.alarmError = alarmError;
    record.rtcError = rtcError;
    record.usbExpected = usbExpected;
    record.boardtype = boardtype;
    chip_holds_image.clear();
    if (auto *disks = k.model<Disks>()) {
        const std::string &image = disks->image();
        for (int c = 1; c <= disks->chip_count(); ++c) {
            const auto &bytes = disks->chip(c).flash().bytes();
            bool holds = !image.empty() && bytes.size() >= image.size() &&
                         std::equal(image.begin(), image.end(), bytes.begin(),
                                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
            chip_holds_image.push_back(holds);
        }
    }
    return result;
}

} // namespace sim
