// The RS-485 loop test against real objects: a pseudo-terminal stands in
// for /dev/ttyS1, a thread on its master side is the loop-back fixture, the
// receiver is a real forked process, and the sender runs in a process of its
// own whose output goes to a pipe.
#include "driver/result.h"
#include "platform/linux_backend.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t kPattern = 1024;

// Appends what fd gives within the time; false at its end.
bool read_some(int fd, std::string &out, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return true;
    char buf[2048];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        out.append(buf, static_cast<size_t>(n));
    return n > 0;
}

// Takes the pattern in, sends back all of it with its last byte spoiled a
// moment later, then listens for anything the port sends of its own.
struct Fixture {
    int master;
    std::string heard, after;
    static void *main(void *self) {
        auto *f = static_cast<Fixture *>(self);
        for (int i = 0; i < 100 && f->heard.size() < kPattern; ++i)
            if (!read_some(f->master, f->heard, 100))
                return nullptr;
        std::string back = f->heard.substr(0, kPattern);
        if (back.size() != kPattern || write(f->master, back.data(), kPattern - 1) < 0)
            return nullptr;
        usleep(200000);
        back[kPattern - 1] = static_cast<char>(~back[kPattern - 1]);
        if (write(f->master, &back[kPattern - 1], 1) == 1)
            for (int i = 0; i < 3; ++i)
                read_some(f->master, f->after, 100);
        return nullptr;
    }
};

} // namespace

TEST(Rs485OnLinux, RawPatternOutAndTheReceiversVerdictBackThroughItsExitStatus) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char slave[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0)
        GTEST_SKIP() << "no usable pseudo-terminal here: " << strerror(errno);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t sender = fork();
    ASSERT_GE(sender, 0) << strerror(errno);
    if (sender == 0) {
        close(master);
        dup2(out[1], 1);
        dup2(out[1], 2);
        static sys::LinuxBackend backend(
            {{"/dev/ttyS1", slave}, {"/dev/vexio", "/nonexistent-board/vexio"}});
        sys::install(&backend);
        rs485_reset_state();
        rs485Error = 0;
        rs485test();
        _exit(rs485Error == 1 ? 42 : 43);
    }
    close(out[1]);
    Fixture fixture{master, {}, {}};
    pthread_t echo;
    ASSERT_EQ(pthread_create(&echo, nullptr, Fixture::main, &fixture), 0);
    std::string printed;
    for (int i = 0; i < 150 && read_some(out[0], printed, 200); ++i) {
    }
    int status = 0;
    ASSERT_EQ(waitpid(sender, &status, 0), sender);
    pthread_join(echo, nullptr);
    close(out[0]);
    close(master);

    // Byte i of the pattern is i modulo 256, as it left the port (no output
    // processing), and the port echoed nothing back by itself.
    ASSERT_EQ(fixture.heard.size(), kPattern);
    for (size_t i = 0; i < kPattern; ++i)
        ASSERT_EQ(static_cast<uint8_t>(fixture.heard[i]), i % 256) << "byte " << i;
    EXPECT_TRUE(fixture.after.empty());
    // 1023 good bytes and the spoiled one; two beeps find no board driver.
    EXPECT_EQ(printed, "发送  1023字节成功\n    1字节失败 \nopen hwInfo error!\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42) << "the verdict did not reach the sender's record";
}
