// Wall time of the whole run on the default simulated board, against the
// virtual time it represents. Prints the median of several runs.
#include "sim/harness/harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 21;
    std::vector<double> wall;
    double virtual_s = 0;
    for (int i = 0; i < runs; ++i) {
        sim::Scenario scenario;
        sim::Kernel kernel(scenario);
        auto start = std::chrono::steady_clock::now();
        sim::RunResult r = sim::run_ftq(kernel, {});
        auto stop = std::chrono::steady_clock::now();
        wall.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        virtual_s = static_cast<double>(r.finished_at) / sim::kSecond;
    }
    std::sort(wall.begin(), wall.end());
    double median = wall[wall.size() / 2];
    std::printf("whole run, default board: %d runs, median wall %.2f ms (min %.2f, max %.2f), "
                "virtual %.3f s, virtual/wall %.0fx\n",
                runs, median, wall.front(), wall.back(), virtual_s, virtual_s * 1000 / median);
    return 0;
}
