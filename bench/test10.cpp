// Test 10 (the port-multiplier firmware check) on the simulated board with
// a 64 KiB image: requests per flash word, wall time of the simulation, and
// the time the same run takes on a board whose multiplier answers each
// request in a stated latency. Prints medians over several runs.
//
//   bench_test10 [runs]
#include "sim/harness/harness.h"
#include "sim/models/disks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Case {
    const char *name;
    std::string scenario;
};

struct Measure {
    double wall_ms = 0;      // median
    double virtual_s = 0;    // from the test's first line to the end of the run
    sim::PmpCounters counts; // chip 1
};

Measure measure(const std::string &text, int runs) {
    Measure m;
    std::vector<double> wall;
    for (int i = 0; i < runs; ++i) {
        sim::Scenario scenario = sim::Scenario::from_text(text);
        sim::Kernel kernel(scenario);
        auto start = std::chrono::steady_clock::now();
        sim::RunResult r = sim::run_ftq(kernel, {"-o", "10"});
        auto stop = std::chrono::steady_clock::now();
        wall.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        sim::Time first = r.finished_at;
        for (const auto &w : kernel.console())
            if (w.bytes.find("sata_port_num") != std::string::npos) {
                first = w.t;
                break;
            }
        m.virtual_s = static_cast<double>(r.finished_at - first) / sim::kSecond;
        m.counts = kernel.model<sim::Disks>()->chip(1).counters();
        if (r.end != sim::RunResult::End::Exited || r.code != 0)
            std::fprintf(stderr, "run ended badly: %s\n", r.describe().c_str());
    }
    std::sort(wall.begin(), wall.end());
    m.wall_ms = wall[wall.size() / 2];
    return m;
}

// One disk (one pmpupdate) or the default five (sda and sde: two runs).
std::string scenario(bool blank, bool one_disk, bool board_timing, bool never_busy = false) {
    std::string flash = blank ? R"("contents": "blank")" : R"("contents": "image")";
    if (never_busy)
        flash += R"(, "busy_reads": {"program": 0, "erase": 0, "status_write": 0})";
    if (board_timing)
        flash += R"(, "busy_reads": {"program": 20, "erase": 2000, "status_write": 200})";
    std::string disks = R"({"image": {"length": 65536}, "chips": [{"flash": {)" + flash + "}}]";
    if (one_disk)
        disks += R"(, "drives": ["sda"])";
    if (board_timing)
        disks += R"(, "request_latency_us": 50)";
    return R"({"disks": )" + disks + "}}";
}

} // namespace

int main(int argc, char **argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const double words = 65536 / 4;
    std::printf("test 10, 64 KiB image (%0.f words), %d runs each, medians\n\n", words, runs);

    std::printf("%-34s %9s %9s %9s %9s %9s\n", "simulator, no latency", "wall ms", "requests",
                "req/word", "reads", "programs");
    const Case fast[] = {
        {"one disk, identical (verify)", scenario(false, true, false)},
        {"one disk, blank (probe+program)", scenario(true, true, false)},
        {"one disk, blank, never busy", scenario(true, true, false, true)},
        {"five disks, identical (2 x verify)", scenario(false, false, false)},
        {"five disks, blank (program+verify)", scenario(true, false, false)},
    };
    for (const Case &c : fast) {
        Measure m = measure(c.scenario, runs);
        std::printf("%-34s %9.1f %9llu %9.3f %9llu %9llu\n", c.name, m.wall_ms,
                    static_cast<unsigned long long>(m.counts.requests), m.counts.requests / words,
                    static_cast<unsigned long long>(m.counts.read),
                    static_cast<unsigned long long>(m.counts.program));
    }

    std::printf("\nboard timing: 50 us per request; busy for 20 status reads after a word "
                "program (1 ms),\n2000 after chip erase (100 ms), 200 after a status write "
                "(10 ms)\n");
    std::printf("%-34s %9s %9s %9s %9s\n", "", "wall ms", "requests", "req/word", "virtual s");
    const Case board[] = {
        {"one disk, identical (verify)", scenario(false, true, true)},
        {"one disk, blank (probe+program)", scenario(true, true, true)},
        {"five disks, identical (2 x verify)", scenario(false, false, true)},
        {"five disks, blank (program+verify)", scenario(true, false, true)},
    };
    for (const Case &c : board) {
        Measure m = measure(c.scenario, runs);
        std::printf("%-34s %9.1f %9llu %9.3f %9.2f\n", c.name, m.wall_ms,
                    static_cast<unsigned long long>(m.counts.requests), m.counts.requests / words,
                    m.virtual_s);
    }
    return 0;
}
