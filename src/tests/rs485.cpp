// Test 4: the RS-485 loop test.
//
// The process that runs the tests sends a 1024-byte pattern out of
// /dev/ttyS1; a child process reads it back through the loop-back fixture,
// prints the counts and hands its verdict back as its exit status.
//
// The child owns nothing process-wide: on the board it is a forked copy, but
// on the simulated board it runs in the same address space as the sender, so
// it only reads what was built before the split and keeps its counters on
// its own stack.
#include "board/buzzer.h"
#include "board/vexio.h"
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <cstring>
#include <sys/wait.h>

namespace {

constexpr size_t PATTERN_LEN = 1024;
constexpr size_t STALE_LEN = 512;
constexpr useconds_t LINE_SETTLE_US = 100000;
constexpr time_t WAIT_BOUND_S = 5;
constexpr unsigned RECEIVER_GRACE_S = 6;
// How long the sender waits for the receiver's verdict once it is done; the
// receiver's own 5 s bound normally ends it well within this.
constexpr int VERDICT_WAIT_STEPS = 100;
constexpr useconds_t VERDICT_WAIT_STEP_US = 100000;
// After a failed call: long enough that a port failing for good cannot make
// a side spin, short enough that a passing fault costs the transfer little.
constexpr suseconds_t FAILED_CALL_REST_US = 100000;

constexpr int VERDICT_PASSED = 0;
constexpr int VERDICT_FAILED = 1;

// Built by the sender before the receiver starts; read-only afterwards.
struct looplink {
    int port;
    uint8_t pattern[PATTERN_LEN];
};
looplink rs485Link;

void rs485childsigint(int) {
    // Only cuts the receiver's current wait short.
}

// Rests after a failed call and takes the rest out of the side's 5 s bound,
// which select() spends the same way; false once the bound has run out.
bool restafterfailure(struct timeval *bound) {
    suseconds_t left = static_cast<suseconds_t>(bound->tv_sec) * 1000000 + bound->tv_usec;
    suseconds_t rest = left < FAILED_CALL_REST_US ? left : FAILED_CALL_REST_US;
    if (rest > 0)
        sys::usleep(static_cast<useconds_t>(rest));
    left -= rest;
    bound->tv_sec = static_cast<time_t>(left / 1000000);
    bound->tv_usec = left % 1000000;
    return left > 0;
}

// The receiver's time-out ending: the counts and two beeps. The whole
// pattern never came back, so nothing was shown to pass: a missing fixture,
// a dead transceiver or a lost last byte fail like a corrupted one.
int rs485gaveup(uint32_t correct, uint32_t wrong) {
    say("发送  %u字节成功\n    %u字节失败 \n", correct, wrong);
    beep(2);
    return VERDICT_FAILED;
}

int rs485receive(void *arg) {
    const looplink *link = static_cast<const looplink *>(arg);
    struct timeval bound = {WAIT_BOUND_S, 0};
    if (sys::signal(SIGINT, rs485childsigint) == SIG_ERR) {
        say("signal failed\n");
        return -1;
    }
    uint8_t received[PATTERN_LEN];
    size_t offset = 0;
    uint32_t correct = 0;
    uint32_t wrong = 0;
    for (;;) {
        if (correct >= PATTERN_LEN) {
            say("正确:    %u字节  \n错误:    %u字节 \n", correct, wrong);
            return wrong != 0 ? VERDICT_FAILED : VERDICT_PASSED;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(link->port, &readable);
        int ready = sys::select(link->port + 1, &readable, nullptr, nullptr, &bound);
        if (ready < 0) {
            say_errno("read select()");
            // An interrupt only cuts the wait short. Any other failure would
            // come back at once: rest, so that only the bound ends the wait.
            if (errno == EINTR || restafterfailure(&bound))
                continue;
            return rs485gaveup(correct, wrong);
        }
        if (ready == 0)
            return rs485gaveup(correct, wrong);
        ssize_t n = sys::read(link->port, received + offset, PATTERN_LEN - offset);
        if (n <= 0) {
            // Readable and then nothing (a hang-up, an error, a byte taken
            // back): a passing fault must not end the transfer, and a line
            // gone for good must not make the receiver spin.
            if (restafterfailure(&bound))
                continue;
            return rs485gaveup(correct, wrong);
        }
        size_t got = static_cast<size_t>(n);
        if (memcmp(received + offset, link->pattern + offset, got) == 0)
            correct += static_cast<uint32_t>(got);
        else
            wrong += static_cast<uint32_t>(got);
        offset += got;
        if (offset >= PATTERN_LEN)
            offset = 0;
    }
}

void rs485setport(int fd) {
    // Raw 8N1 at 9600 baud; the port's present settings are not read first.
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= CS8;
    tio.c_cflag &= ~(PARENB | CSTOPB);
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~OPOST;
    if (sys::tcsetattr(fd, TCSANOW, &tio) != 0) {
        say("tcsetattr failed\n");
        sys::exit(-1);
    }
}

// Sends the pattern; false when it gave up before all of it went out.
bool rs485send(int fd, const uint8_t *pattern) {
    struct timeval bound = {WAIT_BOUND_S, 0};
    if (sys::signal(SIGINT, SIG_DFL) == SIG_ERR) {
        say("signal failed\n");
        sys::exit(-1);
    }
    size_t offset = 0;
    size_t sent = 0;
    while (sent < PATTERN_LEN) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        int ready = sys::select(fd + 1, nullptr, &writable, nullptr, &bound);
        if (ready < 0) {
            say_errno("select()");
            if (errno == EINTR || restafterfailure(&bound))
                continue;
            ready = 0;
        }
        if (ready == 0) {
            say("no more data can write in 5 seconds,exit \n");
            return false;
        }
        ssize_t n = sys::write(fd, pattern + offset, PATTERN_LEN - offset);
        if (n <= 0) {
            // A failed write adds nothing. A port in error stays "writable"
            // and fails every write: the rests use the bound up.
            if (restafterfailure(&bound))
                continue;
            say("no more data can write in 5 seconds,exit \n");
            return false;
        }
        offset += static_cast<size_t>(n);
        sent += static_cast<size_t>(n);
        if (offset >= PATTERN_LEN)
            offset = 0;
    }
    return true;
}

// The receiver's verdict, or a failure when there is none to be had.
bool rs485verdict(pid_t receiver) {
    for (int step = 0; step <= VERDICT_WAIT_STEPS; ++step) {
        int status = 0;
        pid_t r = sys::waitpid(receiver, &status, WNOHANG);
        if (r == receiver)
            return WIFEXITED(status) && WEXITSTATUS(status) == VERDICT_PASSED;
        if (r < 0 && errno != EINTR)
            return false;
        sys::usleep(VERDICT_WAIT_STEP_US);
    }
    say_err("485 receiver gave no verdict\n");
    return false;
}

} // namespace

int rs485test() {
    int fd = sys::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || fd >= FD_SETSIZE) {
        say("open /dev/ttyS1 failed\n");
        sys::exit(-1);
    }
    rs485setport(fd);

    rs485Link.port = fd;
    for (size_t i = 0; i < PATTERN_LEN; ++i)
        rs485Link.pattern[i] = static_cast<uint8_t>(i);

    // Left open until the process ends: the line must stay driven and
    // heard for the whole transfer, whatever the driver does on close.
    int vexio = sys::open(VEXIO_PATH, O_RDWR);
    sys::ioctl(vexio, VEXIO_RS485_TX, 1);
    sys::ioctl(vexio, VEXIO_RS485_RX, 1);

    sys::usleep(LINE_SETTLE_US);
    uint8_t stale[STALE_LEN];
    sys::read(fd, stale, sizeof stale);

    pid_t receiver = sys::spawn(rs485receive, &rs485Link);
    if (receiver < 0)
        say_errno("fork");

    bool complete = rs485send(fd, rs485Link.pattern);
    if (complete)
        sys::sleep(RECEIVER_GRACE_S);

    // Only a whole, clean loop passes: without a receiver nothing was
    // checked, and a pattern that never all went out cannot have come back.
    bool passed = receiver > 0 && rs485verdict(receiver);
    if (!passed || !complete)
        rs485Error = 1;
    return 0;
}

void rs485_reset_state() {
    memset(&rs485Link, 0, sizeof rs485Link);
}
