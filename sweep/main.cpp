// The robustness sweep: runs the program on the simulated board over and
// over, each run with one fault injected, and judges every run.
//
//   fault_sweep [--signals] [--full] [--jobs N] [--only NAME]... [--verbose]
//
// Without --signals each run fails one call the way a device fails; with
// it, each run is interrupted by Ctrl-C at one point where the program
// waits, or at the entry or the return of one of its calls. --full sweeps more occurrences of each
// call, and interrupts every catalog scenario too. The exit status is 1 when a run broke a rule
// that the program does not break by design.
#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    sweep::Options opt;
    bool signals = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--signals")
            signals = true;
        else if (a == "--full")
            opt.full = true;
        else if (a == "--verbose")
            opt.verbose = true;
        else if (a == "--jobs" && i + 1 < argc)
            opt.jobs = std::max(1, atoi(argv[++i]));
        else if (a == "--only" && i + 1 < argc)
            opt.only.push_back(argv[++i]);
        else {
            fprintf(stderr, "usage: fault_sweep [--signals] [--full] [--jobs N] [--only NAME]... "
                            "[--verbose]\n");
            return 2;
        }
    }
    // Step headings and verdicts are read in the console's text.
    bool converts = false;
    sim::gb2312_to_utf8("", &converts);
    if (!converts) {
        fprintf(stderr, "fault_sweep: this system's iconv cannot read GB2312\n");
        return 2;
    }
    return signals ? sweep::signal_sweep(opt) : sweep::fault_sweep(opt);
}
