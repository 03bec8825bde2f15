// The panel link on the Linux backend, with a pseudo-terminal standing in
// for /dev/ttyS2.
//
// panelopen starts a real heartbeat thread that lives as long as its
// process, and every later call of that thread goes to whatever backend is
// installed then. So each of these tests runs in a child process of its
// own (a death test), which ends with the verdict of its checks.
#include "driver/procstate.h"
#include "board/boardinfo.h"
#include "panel/panel.h"
#include "platform/linux_backend.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

// What the child found wrong; it ends with status 0 when nothing was.
struct Problems {
    std::string text;
    void check(bool ok, const std::string &what) { text += ok ? "" : what + "\n"; }
    [[noreturn]] void finish() {
        (void)!write(2, text.data(), text.size());
        _exit(text.empty() ? 0 : 1);
    }
};

// Reads exactly n bytes from fd within two seconds.
std::string readn(int fd, size_t n) {
    std::string got;
    char buf[64];
    struct pollfd p = {fd, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, 2000) > 0) {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

void configured_port_child(int master, const std::string &slave) {
    Problems p;
    static sys::LinuxBackend backend(std::map<std::string, std::string>{{"/dev/ttyS2", slave}});
    sys::install(&backend);
    panel_reset_state();
    boardtype = 1;
    p.check(panelopen() == 0, "panelopen did not return 0");

    struct termios t {};
    p.check(tcgetattr(panelfd, &t) == 0, "tcgetattr on the port failed");
    p.check(cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600, "not 9600 baud both ways");
    p.check((t.c_cflag & (CSIZE | CSTOPB | PARENB | CREAD | CLOCAL | CRTSCTS)) ==
                (CS8 | CREAD | CLOCAL),
            "not 8N1 with the receiver on, modem lines and flow control off");
    p.check((t.c_lflag & (ISIG | ICANON | ECHO | ECHOE)) == 0 &&
                (t.c_iflag & (INLCR | IGNCR | ICRNL | IXON | IXOFF)) == 0 &&
                (t.c_oflag & OPOST) == 0,
            "not raw");
    p.check((fcntl(panelfd, F_GETFL) & O_NONBLOCK) != 0, "the link is not non-blocking");

    // Frames leave the port byte for byte: a heartbeat, then an LED sequence.
    sendhb();
    p.check(readn(master, 7) == "\xFF\x07\x30\x0B\x00\x00\x41"s, "heartbeat garbled");
    panelleds(panelfd, LED_STATUS_OFF);
    p.check(readn(master, 21) == "\xFF\x07\x30\x17\x00\x00\x4D\xFF\x07\x30\x18\x00\x01\x4F"
                                 "\xFF\x07\x30\x41\x00\x00\x77"s,
            "LED_STATUS_OFF garbled");

    // A reply and MENU typed at the panel end reach the key loop unchanged;
    // MENU ends it without the five-second wait.
    std::string keys = "\x00\xFF\x07\x30\x0B\x00\x00\x41\xFF\x07\x20\x0A\x01\x00\x31"s;
    p.check(write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()),
            "could not type at the panel end");
    int out[2];
    p.check(pipe(out) == 0, "pipe failed");
    int saved = dup(1);
    dup2(out[1], 1);
    time_t before = time(nullptr);
    panelkeyloop(panelfd);
    time_t after = time(nullptr);
    dup2(saved, 1);
    std::string printed = readn(out[0], 20);
    p.check(printed == "key MENU is pressed\n", "key loop printed '" + printed + "'");
    p.check(after - before < 4, "key loop waited for silence after MENU");
    p.check(panelRepliesLow == 1 && panelRepliesHigh == 0, "the reply was not counted");
    p.finish();
}

TEST(PanelLinux, PortConfiguredRawAndFramesPassByteForByte) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char *slave =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    if (slave == nullptr)
        GTEST_SKIP() << "no pseudo-terminals here: " << strerror(errno);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(configured_port_child(master, slave), testing::ExitedWithCode(0), "");
    close(master);
}

void missing_port_child() {
    static sys::LinuxBackend backend(
        std::map<std::string, std::string>{{"/dev/ttyS2", "/nonexistent-ftq-panel/ttyS2"}});
    sys::install(&backend);
    dup2(2, 1); // the message goes to standard output
    panelopen();
    _exit(0);
}

TEST(PanelLinux, MissingPortEndsTheProgramWithStatus255) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(missing_port_child(), testing::ExitedWithCode(255), "open /dev/ttyS2 failed\n");
}

// The key loop installs the report; a real Ctrl-C during the wait prints
// the counter and the process dies of the signal, not by an exit.
void interrupted_child(int fd) {
    static sys::LinuxBackend backend;
    sys::install(&backend);
    dup2(2, 1);
    alarm(5); // a handler that never lets the signal end the process
    panelRepliesHigh = 3;
    panelRepliesLow = 4000000000u;
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void *) -> void * {
            usleep(200000);
            kill(getpid(), SIGINT);
            return nullptr;
        },
        nullptr);
    panelkeyloop(fd);
    _exit(0); // the five-second wait ended without the signal
}

TEST(PanelLinux, SigintPrintsTheCounterAndEndsBySignal) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer holds a signal's handler back until its next hook, so
    // the interrupted select returns first and the loop ends unreported.
    GTEST_SKIP() << "ThreadSanitizer defers signal handlers";
#endif
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(interrupted_child(p[0]), testing::KilledBySignal(SIGINT),
                "receive 3:4000000000 replies\n");
    close(p[0]);
    close(p[1]);
}

} // namespace
