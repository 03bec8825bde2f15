// The panel link on the Linux backend, with a pseudo-terminal standing in
// for /dev/ttyS2.
//
// panelopen starts a real heartbeat thread that lives as long as its
// process, and every later call of that thread goes to whatever backend is
// installed then. So each of these tests runs in a child process of its
// own (a death test), which ends with the verdict of its checks.
#include "panelqa.h"

#include "driver/procstate.h"
#include "panel/panel.h"
#include "platform/linux_backend.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Pty {
    int master = -1;
    std::string slave;
};

// A pseudo-terminal pair, or an empty slave path when the system has none.
Pty openpty_pair() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0)
        return p;
    const char *name = nullptr;
    if (grantpt(p.master) == 0 && unlockpt(p.master) == 0)
        name = ptsname(p.master);
    if (name == nullptr) {
        close(p.master);
        p.master = -1;
        return p;
    }
    p.slave = name;
    return p;
}

// What the child found wrong; it ends with status 0 when nothing was.
struct Problems {
    std::string text;
    void check(bool ok, const std::string &what) {
        if (!ok)
            text += what + "\n";
    }
    [[noreturn]] void finish() {
        if (!text.empty())
            (void)!write(2, text.data(), text.size());
        _exit(text.empty() ? 0 : 1);
    }
};

// Reads exactly n bytes from fd within two seconds.
std::string readn(int fd, size_t n) {
    std::string got;
    while (got.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        char buf[256];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string bytes(std::initializer_list<uint8_t> b) {
    return std::string(b.begin(), b.end());
}

void configured_port_child(const Pty &pty) {
    Problems p;
    static sys::LinuxBackend backend(std::map<std::string, std::string>{{"/dev/ttyS2", pty.slave}});
    sys::install(&backend);
    panel_reset_state();
    boardtype = 1;
    p.check(panelopen() == 0, "panelopen did not return 0");
    p.check(panelfd >= 0, "no panel link descriptor");

    struct termios t {};
    p.check(tcgetattr(panelfd, &t) == 0, "tcgetattr on the port failed");
    p.check(cfgetispeed(&t) == B9600, "input speed is not 9600");
    p.check(cfgetospeed(&t) == B9600, "output speed is not 9600");
    p.check((t.c_cflag & CSIZE) == CS8, "not 8 data bits");
    p.check((t.c_cflag & (CSTOPB | PARENB)) == 0, "not 1 stop bit without parity");
    p.check((t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL),
            "receiver off or modem lines heeded");
    p.check((t.c_cflag & CRTSCTS) == 0, "hardware flow control on");
    p.check((t.c_lflag & (ISIG | ICANON | ECHO | ECHOE)) == 0, "not raw input");
    p.check((t.c_iflag & (INLCR | IGNCR | ICRNL | IXON | IXOFF)) == 0,
            "CR/NL translation or software flow control on");
    p.check((t.c_oflag & OPOST) == 0, "output processing on");
    int fl = fcntl(panelfd, F_GETFL);
    p.check(fl >= 0 && (fl & O_NONBLOCK) != 0, "the link is not non-blocking");

    // Frames leave the port byte for byte: a heartbeat, then an LED sequence.
    sendhb();
    p.check(readn(pty.master, 7) == bytes({0xFF, 0x07, 0x30, 0x0B, 0x00, 0x00, 0x41}),
            "heartbeat frame did not arrive byte for byte");
    panelleds(panelfd, LED_STATUS_OFF);
    p.check(readn(pty.master, 21) ==
                bytes({0xFF, 0x07, 0x30, 0x17, 0x00, 0x00, 0x4D, 0xFF, 0x07, 0x30, 0x18,
                       0x00, 0x01, 0x4F, 0xFF, 0x07, 0x30, 0x41, 0x00, 0x00, 0x77}),
            "LED_STATUS_OFF frames did not arrive byte for byte");

    // Keys typed at the panel end reach the key loop unchanged; MENU ends it
    // without the five-second wait.
    std::string keys = bytes(
        {0x00, 0xFF, 0x07, 0x30, 0x0B, 0x00, 0x00, 0x41, 0xFF, 0x07, 0x20, 0x0A, 0x01, 0x00, 0x31});
    p.check(write(pty.master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()),
            "could not type at the panel end");
    int out[2];
    p.check(pipe(out) == 0, "pipe failed");
    int saved = dup(1);
    dup2(out[1], 1);
    time_t before = time(nullptr);
    panelkeyloop(panelfd);
    time_t after = time(nullptr);
    dup2(saved, 1);
    close(out[1]);
    std::string printed = readn(out[0], 20);
    p.check(printed == "key MENU is pressed\n", "key loop printed '" + printed + "'");
    p.check(after - before < 4, "key loop waited for silence after MENU");
    p.check(panelRepliesLow == 1 && panelRepliesHigh == 0, "the reply was not counted");
    p.finish();
}

TEST(PanelLinux, PortConfiguredRawAndFramesPassByteForByte) {
    Pty pty = openpty_pair();
    if (pty.master < 0)
        GTEST_SKIP() << "no pseudo-terminals here: " << strerror(errno);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(configured_port_child(pty), testing::ExitedWithCode(0), "");
    close(pty.master);
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

void *interrupt_soon(void *) {
    usleep(200000);
    kill(getpid(), SIGINT);
    return nullptr;
}

// The key loop installs the report; a real Ctrl-C during the wait prints
// the counter and the process dies of the signal, not by an exit.
void interrupted_child(int fd) {
    static sys::LinuxBackend backend;
    sys::install(&backend);
    dup2(2, 1);
    panelRepliesHigh = 3;
    panelRepliesLow = 4000000000u;
    pthread_t t;
    pthread_create(&t, nullptr, interrupt_soon, nullptr);
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
