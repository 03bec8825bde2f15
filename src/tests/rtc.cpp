// Test 6: the real-time clock against the system clock, three times, one
// second apart.
#include "board/buzzer.h"
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <cstring>
#include <linux/rtc.h>

namespace {

constexpr int COMPARISONS = 3;
constexpr int64_t TOLERANCE_S = 2;

void rtcsigint(int sig) {
    // The test keeps no counts; the line stays as operators know it.
    SignalSafeLine()
        .text("read rtc successfully ")
        .number(0)
        .text(" times : failed ")
        .number(0)
        .text(" times\n")
        .write_to(1);
    sys::raise(sig);
    sys::signal(sig, SIG_DFL);
}

// The clock chip's time; all fields 0 when it cannot be read.
struct tm readrtc() {
    struct tm out;
    memset(&out, 0, sizeof out);
    int fd = sys::open("/dev/rtc", O_RDONLY);
    if (fd < 0)
        return out;
    struct rtc_time chip;
    memset(&chip, 0, sizeof chip);
    if (sys::ioctl(fd, RTC_RD_TIME, &chip) == 0) {
        out.tm_sec = chip.tm_sec;
        out.tm_min = chip.tm_min;
        out.tm_hour = chip.tm_hour;
        out.tm_mday = chip.tm_mday;
        out.tm_mon = chip.tm_mon;
        out.tm_year = chip.tm_year;
        out.tm_wday = chip.tm_wday;
        out.tm_yday = chip.tm_yday;
        out.tm_isdst = chip.tm_isdst;
    }
    sys::close(fd);
    return out;
}

struct tm readsystem() {
    struct tm out;
    memset(&out, 0, sizeof out);
    time_t now = sys::time(nullptr);
    const struct tm *broken = sys::gmtime(&now);
    if (broken != nullptr)
        out = *broken;
    return out;
}

void printtime(const char *label, const struct tm &t) {
    say("%s%4d - %2d - %2d  %2d:%2d:%2d \n", label, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
        t.tm_hour, t.tm_min, t.tm_sec);
}

} // namespace

int rtctest() {
    sys::signal(SIGINT, rtcsigint);
    int result = 0;
    for (int i = 0; i < COMPARISONS; ++i) {
        struct tm chip = readrtc();
        struct tm system = readsystem();
        printtime("时钟时间 ", chip);
        printtime("系统时间 ", system);
        // Both as local time: the zone cancels out, leaving the chip's UTC
        // against the system's.
        int64_t chipsecs = sys::mktime(&chip);
        int64_t systemsecs = sys::mktime(&system);
        if (systemsecs - chipsecs > TOLERANCE_S || chipsecs - systemsecs > TOLERANCE_S) {
            rtcError = 1;
            beep(2);
            result = 1;
        }
        sys::sleep(1);
    }
    return result;
}

void rtc_reset_state() {}
