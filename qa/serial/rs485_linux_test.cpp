// The RS-485 loop test against real objects: a pseudo-terminal stands in
// for /dev/ttyS1, a thread on its master side is the loop-back fixture, the
// receiver is a real forked process and the test runs in a process of its
// own whose standard output is a pipe.
#include "driver/result.h"
#include "platform/linux_backend.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPatternLen = 1024;
constexpr int kRunnerFailed = 42;
constexpr int kRunnerPassed = 43;

// <chrono> and <thread> cannot be compiled with the console charset, so
// time and threads come from the C interfaces here.
double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Bytes readable on fd within the time given, appended to out; false on EOF.
bool read_some(int fd, std::string &out, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return true;
    char buf[2048];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

// The fixture: takes in the whole pattern, sends back all of it but the last
// byte unchanged and, a moment later, the last byte spoiled; then listens
// on to see whether the port echoes anything of its own.
struct Fixture {
    int master;
    std::string heard;
    std::string after;
    static void *main(void *self) {
        static_cast<Fixture *>(self)->run();
        return nullptr;
    }
    void run() {
        double until = now_s() + 10;
        while (heard.size() < kPatternLen && now_s() < until)
            if (!read_some(master, heard, 100))
                return;
        if (heard.size() < kPatternLen)
            return;
        if (write(master, heard.data(), kPatternLen - 1) != kPatternLen - 1)
            return;
        usleep(200000);
        char last = static_cast<char>(~heard[kPatternLen - 1]);
        if (write(master, &last, 1) != 1)
            return;
        for (int i = 0; i < 3; ++i)
            read_some(master, after, 100);
    }
};

} // namespace

TEST(Rs485OnLinux, VerdictComesBackThroughTheExitStatusAndIsPrintedOnce) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        GTEST_SKIP() << "no pseudo-terminals here: " << strerror(errno);
    char slave[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0) {
        close(master);
        GTEST_SKIP() << "pseudo-terminal cannot be unlocked: " << strerror(errno);
    }
    int out[2];
    ASSERT_EQ(pipe(out), 0);

    pid_t runner = fork();
    ASSERT_GE(runner, 0) << strerror(errno);
    if (runner == 0) {
        // The process that runs the tests, as on the board: only what
        // rs485test and its receiver write reaches the pipe.
        close(master);
        close(out[0]);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[1]);
        static sys::LinuxBackend backend(
            {{"/dev/ttyS1", slave}, {"/dev/vexio", "/nonexistent-board/vexio"}});
        sys::install(&backend);
        rs485_reset_state();
        rs485Error = 0;
        rs485test();
        _exit(rs485Error == 1 ? kRunnerFailed : kRunnerPassed);
    }
    close(out[1]);

    Fixture fixture{master, {}, {}};
    pthread_t echo;
    ASSERT_EQ(pthread_create(&echo, nullptr, Fixture::main, &fixture), 0);
    std::string printed;
    double until = now_s() + 30;
    while (now_s() < until && read_some(out[0], printed, 200)) {
    }
    int status = 0;
    pid_t reaped = waitpid(runner, &status, 0);
    pthread_join(echo, nullptr);
    close(out[0]);
    close(master);

    ASSERT_EQ(reaped, runner);
    // Raw 8-bit both ways: the pattern left the port byte for byte (no
    // output processing), and the port echoed nothing back on its own.
    ASSERT_EQ(fixture.heard.size(), static_cast<size_t>(kPatternLen));
    for (int i = 0; i < kPatternLen; ++i)
        ASSERT_EQ(static_cast<uint8_t>(fixture.heard[i]), i % 256) << "byte " << i;
    EXPECT_TRUE(fixture.after.empty());
    // The receiver counted the 1023 good bytes and the spoiled one, gave up
    // on its time-out with two beeps (no board I/O driver here), and its
    // verdict reached the test result record of the process above it.
    EXPECT_EQ(printed, "发送  1023字节成功\n    1字节失败 \nopen hwInfo error!\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kRunnerFailed);
}
