#include "board/buzzer.h"

#include "board/vexio.h"
#include "platform/console.h"
#include "platform/sys.h"

namespace {
constexpr useconds_t BEEP_US = 200000;
} // namespace

void beep(int count) {
    if (count < 1)
        return;
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("open hwInfo error!\n");
        return;
    }
    sys::ioctl(fd, VEXIO_BUZZER_SETUP, BUZZER_ARG);
    for (int i = 0; i < count; ++i) {
        sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_ARG);
        sys::usleep(BEEP_US);
        sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_OFF);
        sys::usleep(BEEP_US);
    }
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
    sys::ioctl(fd, VEXIO_BUZZER_SETUP, BUZZER_ARG);
    sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_ARG);
    sys::sleep(5);
    sys::ioctl(fd, VEXIO_BUZZER_TONE, BUZZER_OFF);
    sys::usleep(BEEP_US);
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
