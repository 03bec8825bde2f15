#include "board/buzzer.h"

#include "board/vexio.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstring>

namespace {

constexpr useconds_t BEEP_US = 200000;

// A signal that ends the program while a tone sounds would leave the buzzer
// on until the board restarts. While a buzzer routine runs, these signals
// first switch the tone off, then meet the disposition the program had.
constexpr int TONE_GUARDED[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t TONE_GUARDS = sizeof TONE_GUARDED / sizeof TONE_GUARDED[0];
struct sigaction toneSaved[TONE_GUARDS];
bool toneGuarding[TONE_GUARDS];
// The descriptor the tone sounds on, -1 while it is off.
volatile sig_atomic_t toneFd = -1;

void toneguard(int sig) {
    int fd = toneFd;
    if (fd >= 0)
        sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_OFF);
    toneFd = -1;
    bool restored = false;
    for (size_t i = 0; i < TONE_GUARDS; ++i)
        if (TONE_GUARDED[i] == sig && toneGuarding[i]) {
            sys::sigaction(sig, &toneSaved[i], nullptr);
            toneGuarding[i] = false;
            restored = true;
        }
    // Reached with nothing to restore, raising the signal again would only
    // bring it back here, for ever: let it end the program.
    if (!restored) {
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sys::sigaction(sig, &dfl, nullptr);
    }
    // Blocked while this handler runs: it reaches the program's own
    // disposition as soon as the handler returns.
    sys::raise(sig);
}

// A signal may arrive as any of these calls returns, with the guard already
// installed: the disposition to give back is read and marked first, so that
// the guard always finds it.
void guardtones() {
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = toneguard;
    sigemptyset(&act.sa_mask);
    for (size_t i = 0; i < TONE_GUARDS; ++i) {
        toneGuarding[i] = false;
        if (sys::sigaction(TONE_GUARDED[i], nullptr, &toneSaved[i]) != 0)
            continue;
        // An ignored signal ends nothing: it stays ignored.
        if (toneSaved[i].sa_handler == SIG_IGN)
            continue;
        toneGuarding[i] = true;
        if (sys::sigaction(TONE_GUARDED[i], &act, nullptr) != 0)
            toneGuarding[i] = false;
    }
}

void unguardtones() {
    for (size_t i = 0; i < TONE_GUARDS; ++i)
        if (toneGuarding[i]) {
            sys::sigaction(TONE_GUARDED[i], &toneSaved[i], nullptr);
            toneGuarding[i] = false;
        }
}

void toneon(int fd) {
    toneFd = fd;
    sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_ARG);
}

void toneoff(int fd) {
    sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_OFF);
    toneFd = -1;
}

} // namespace

void beep(int count) {
    if (count < 1)
        return;
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("open hwInfo error!\n");
        return;
    }
    guardtones();
    sys::ioctl(fd, VEXIO_BUZZER_SETUP, BUZZER_ARG);
    for (int i = 0; i < count; ++i) {
        toneon(fd);
        sys::usleep(BEEP_US);
        toneoff(fd);
        sys::usleep(BEEP_US);
    }
    unguardtones();
    sys::close(fd);
}

int okbeep() {
    beep(5);
    return 0;
}

int buzzertest() {
    beep(3);
    return 0;
}

int errorbeep() {
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("open hwInfo error!\n");
        return 0;
    }
    guardtones();
    sys::ioctl(fd, VEXIO_BUZZER_SETUP, BUZZER_ARG);
    toneon(fd);
    sys::sleep(5);
    toneoff(fd);
    sys::usleep(BEEP_US);
    unguardtones();
    sys::close(fd);
    return 0;
}

int resetjmb321(int mask) {
    say("update the firmware success, now reset the jmb321!\r\n");
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0)
        return 0;
    sys::ioctl(fd, VEXIO_PMP_RESET, mask);
    sys::close(fd);
    return 0;
}

int watchdogtest() {
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0)
        say("failed to open watchdog\n");
    if (sys::ioctl(fd, VEXIO_WATCHDOG, WATCHDOG_RESTART) < 0)
        say("set watchdog timeout failed\n");
    if (fd >= 0)
        sys::close(fd);
    return 0;
}
