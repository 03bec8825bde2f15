// Memory: the simulated board runs the program many times in one host
// process (the sweeps do so thousands of times); a whole run must leave
// nothing behind that grows with the number of runs.
#include "simrun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Memory, RepeatedWholeRunsStayFlat) {
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers hold freed memory back on purpose";
#ifdef FTQ_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the resident size is the emulator's, whose translated-code "
                    "cache keeps growing";
#endif
    // The first runs fill the allocator's caches.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(qa::run_ftq("{}").result.end, sim::RunResult::End::Exited);
    long start = resident_kb();
    if (start == 0)
        GTEST_SKIP() << "no resident size in /proc/self/statm here";
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(qa::run_ftq("{}").result.code, 0);
    long growth = resident_kb() - start;
    // A leak of as little as 25 kB a run shows; the allocator's own
    // fluctuation stays well below.
    EXPECT_LT(growth, 1024) << "kB over 40 whole runs";
}

} // namespace
