// Resource bounds of the program on the simulated board: the descriptors
// process 1 holds over a whole run and over test 10 (only those kept open
// by design may outlive their use: the panel link, the RS-485 port and the
// board I/O descriptor the RS-485 test leaves open), and the host memory of
// many whole runs in one process, which must stay flat.
//
//   resource_bounds [--runs N]
#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using sweep::Entry;
using sweep::Outcome;

// The standard streams, then what the program keeps open on purpose.
constexpr int STREAMS = 3;
constexpr int PANEL_LINK = 1;
constexpr int RS485_KEPT = 2; // the port and its board I/O descriptor
// A use opens at most this many descriptors at once besides those.
constexpr int TRANSIENT = 2;
// Memory a run may add, once warmed up, over the whole series.
constexpr long GROWTH_LIMIT_KB = 2048;

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_kb() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int failures = 0;

void expect(bool ok, const std::string &what) {
    if (!ok) {
        printf("  BROKEN: %s\n", what.c_str());
        ++failures;
    }
}

Entry entry_of(const std::string &name, nlohmann::json doc, std::vector<std::string> args) {
    return {name, std::move(doc), std::move(args)};
}

Entry catalog_entry(const std::string &name, const Entry &fallback) {
    for (Entry &e : sweep::load_catalog(sim::catalog_dir(), {name}))
        if (e.name == name)
            return e;
    return fallback;
}

void whole_run() {
    Outcome o = sweep::run(entry_of("whole run", nlohmann::json::object(), {}));
    printf("whole run (healthy board): %s\n", o.result.describe().c_str());
    printf("  descriptors of process 1 at each landmark:");
    bool after_rs485 = false;
    for (size_t i = 0; i < o.console.size(); ++i) {
        if (o.console[i].pid != 1)
            continue;
        auto l = sweep::landmark(o.console[i].bytes);
        if (!l)
            continue;
        int n = o.descriptors_at_write[i];
        printf(" %s %d;", l->c_str(), n);
        // Past the RS-485 step its port and board I/O descriptor stay open.
        // The report's heading is printed while the report reads the board
        // I/O driver: that one is in use.
        if (*l == "report") {
            after_rs485 = true;
            continue;
        }
        int design = STREAMS + PANEL_LINK + (after_rs485 ? RS485_KEPT : 0);
        expect(n == design, *l + ": " + std::to_string(n) + " descriptors open, by design " +
                                std::to_string(design));
    }
    printf("\n  at exit %d, peak %d\n", o.descriptors_at_exit, o.peak_descriptors);
    int design = STREAMS + PANEL_LINK + RS485_KEPT;
    expect(o.descriptors_at_exit == design, "whole run: " + std::to_string(o.descriptors_at_exit) +
                                                " open at exit, by design " +
                                                std::to_string(design));
    expect(o.peak_descriptors <= design + TRANSIENT,
           "whole run: peak " + std::to_string(o.peak_descriptors));
}

void test10() {
    const Entry fallback = entry_of("test 10", nlohmann::json::object(), {"-o", "10"});
    const char *names[] = {"pmp-identical", "pmp-differing",           "pmp-blank-flash",
                           "pmp-two-chips", "pmp-image-missing",       "pmp-chip-absent",
                           "pmp-no-disks",  "pmp-program-fails-midway"};
    std::vector<Entry> entries = {fallback};
    for (const char *n : names) {
        Entry e = catalog_entry(n, fallback);
        if (e.name == n)
            entries.push_back(e);
    }
    printf("test 10: descriptors of process 1 at exit / peak\n");
    for (const Entry &e : entries) {
        Outcome o = sweep::run(e);
        printf("  %-26s %d / %d  (%s)\n", e.name.c_str(), o.descriptors_at_exit, o.peak_descriptors,
               o.result.describe().c_str());
        int design = STREAMS + PANEL_LINK;
        expect(o.descriptors_at_exit == design,
               e.name + ": " + std::to_string(o.descriptors_at_exit) + " open at exit, by design " +
                   std::to_string(design));
        expect(o.peak_descriptors <= design + TRANSIENT,
               e.name + ": peak " + std::to_string(o.peak_descriptors));
    }
}

void memory(int runs) {
    const Entry e = entry_of("whole run", nlohmann::json::object(), {});
    // The first runs fill the allocator's caches and the thread stacks'.
    const int warm = 10;
    for (int i = 0; i < warm; ++i)
        sweep::run(e);
    long start = resident_kb();
    long highest = start;
    for (int i = 0; i < runs; ++i) {
        sweep::run(e);
        highest = std::max(highest, resident_kb());
    }
    long end = resident_kb();
    printf("memory: %d whole runs in one process after %d to warm up: resident %ld kB -> %ld kB "
           "(highest %ld kB, growth %ld kB), peak RSS of the process %ld kB\n",
           runs, warm, start, end, highest, end - start, peak_kb());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers hold freed memory back on purpose: the growth is theirs.
    printf("  (not judged in a sanitizer build)\n");
#else
    expect(end - start <= GROWTH_LIMIT_KB, "memory grew by " + std::to_string(end - start) +
                                               " kB over " + std::to_string(runs) + " runs");
#endif
}

} // namespace

int main(int argc, char **argv) {
    int runs = 200;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, atoi(argv[++i]));
        } else {
            fprintf(stderr, "usage: resource_bounds [--runs N]\n");
            return 2;
        }
    }
    whole_run();
    test10();
    memory(runs);
    printf("resource bounds: %s\n", failures == 0 ? "kept" : "BROKEN");
    return failures == 0 ? 0 : 1;
}
