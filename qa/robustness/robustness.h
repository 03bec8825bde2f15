// A run of ftq on the simulated board with the kernel's sweep hooks set
// before it starts, and the descriptor counts of process 1 sampled as it
// goes.
#pragma once

#include "sim/harness/harness.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace robustness {

struct Run {
    std::unique_ptr<sim::Scenario> scenario;
    std::unique_ptr<sim::Kernel> kernel;
    sim::RunResult result;
    // Process 1's open descriptors as each console write was made, and as
    // the process ended (before its descriptors closed).
    std::vector<int> descriptors_at_write;
    int descriptors_at_exit = -1;
    int peak_descriptors = 0;

    const std::vector<sim::Kernel::ConsoleWrite> &console() const { return kernel->console(); }
    std::string out() const { return kernel->console_text(); }
};

// `prepare` runs on the kernel before the program starts.
inline Run run(const std::string &scenario_json, const std::vector<std::string> &args = {},
               const std::function<void(sim::Kernel &)> &prepare = {}) {
    Run r;
    r.scenario = std::make_unique<sim::Scenario>(sim::Scenario::from_text(scenario_json));
    r.kernel = std::make_unique<sim::Kernel>(*r.scenario);
    sim::Kernel &k = *r.kernel;
    if (prepare)
        prepare(k);
    k.on_console_write([&r, &k](const sim::Kernel::ConsoleWrite &) {
        int n = k.open_descriptors(1);
        r.descriptors_at_write.push_back(n);
        r.peak_descriptors = std::max(r.peak_descriptors, n);
    });
    int listening = k.trace().listen([&r, &k](const sim::TraceEvent &e) {
        int n = k.open_descriptors(1);
        r.peak_descriptors = std::max(r.peak_descriptors, n);
        if (e.dev == "kernel" && e.ev == "process_end" && e.data.value("pid", 0) == 1)
            r.descriptors_at_exit = n;
    });
    r.result = sim::run_ftq(k, args);
    k.on_console_write(nullptr);
    k.trace().stop_listening(listening);
    return r;
}

} // namespace robustness
