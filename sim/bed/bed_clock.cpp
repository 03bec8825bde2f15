// The kernel test bed's clocks at power-on (bed/init.sh): the system clock
// at START seconds since 1970, the clock chip /dev/rtc0 OFFSET seconds
// ahead of it, both turning their seconds together.
//
//   bed-clock START OFFSET
//
// qemu's PL031 turns its seconds with the host's clock, whatever moment it
// was written; the guest's system clock turns them from the moment it was
// set. So the program waits for the chip's next second to begin, then sets
// both at once: were they set a fraction of a second apart (as date and
// hwclock, two programs, do), the chip would read one second more than
// OFFSET for part of every second, and a test near its tolerance would
// judge it otherwise than the simulated board.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int fail(const char *what) {
    fprintf(stderr, "bed-clock: %s: %s\n", what, strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bed-clock START OFFSET\n");
        return 2;
    }
    time_t start = static_cast<time_t>(std::strtoll(argv[1], nullptr, 10));
    time_t chip = start + static_cast<time_t>(std::strtoll(argv[2], nullptr, 10));
    int fd = ::open("/dev/rtc0", O_RDWR);
    if (fd < 0)
        return fail("/dev/rtc0");
    rtc_time then{}, now{};
    if (::ioctl(fd, RTC_RD_TIME, &then) != 0)
        return fail("RTC_RD_TIME");
    // At most a second of reading, to catch the chip's next second.
    do {
        if (::ioctl(fd, RTC_RD_TIME, &now) != 0)
            return fail("RTC_RD_TIME");
    } while (now.tm_sec == then.tm_sec);
    tm t{};
    gmtime_r(&chip, &t);
    rtc_time set{};
    set.tm_sec = t.tm_sec;
    set.tm_min = t.tm_min;
    set.tm_hour = t.tm_hour;
    set.tm_mday = t.tm_mday;
    set.tm_mon = t.tm_mon;
    set.tm_year = t.tm_year;
    timespec system{start, 0};
    if (::ioctl(fd, RTC_SET_TIME, &set) != 0)
        return fail("RTC_SET_TIME");
    if (::clock_settime(CLOCK_REALTIME, &system) != 0)
        return fail("clock_settime");
    ::close(fd);
    return 0;
}
