// CPU time of a one-second console wait on the Linux backend when standard
// input is a pipe at its end. Prints the median of several waits.
#include "driver/driver.h"
#include "platform/linux_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

static double clock_s(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    close(fds[1]);
    dup2(fds[0], 0);
    static sys::LinuxBackend backend;
    sys::install(&backend);
    std::vector<double> cpu, wall;
    for (int i = 0; i < runs; ++i) {
        char buf[20];
        double w = clock_s(CLOCK_MONOTONIC), c = clock_s(CLOCK_PROCESS_CPUTIME_ID);
        consolewait(buf, 1);
        cpu.push_back((clock_s(CLOCK_PROCESS_CPUTIME_ID) - c) * 1000);
        wall.push_back((clock_s(CLOCK_MONOTONIC) - w) * 1000);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    std::printf("consolewait(1 s) at end of input: %d waits, median CPU %.3f ms, median wall "
                "%.1f ms\n",
                runs, cpu[cpu.size() / 2], wall[wall.size() / 2]);
    return 0;
}
