#include "driver/driver.h"
#include "platform/sys.h"

namespace {

// At the end of its input the console stays readable and every read gives
// 0 bytes. Between such reads the wait rests this long, so that it neither
// spins nor misses a line typed after a Ctrl-D on a terminal.
constexpr suseconds_t EOF_REST_US = 50000;

void rest(struct timeval *left) {
    struct timeval slice = {0, EOF_REST_US};
    if (left->tv_sec == 0 && left->tv_usec < slice.tv_usec)
        slice.tv_usec = left->tv_usec;
    suseconds_t asked = slice.tv_usec;
    sys::select(0, nullptr, nullptr, nullptr, &slice);
    suseconds_t spent = asked - slice.tv_usec;
    if (left->tv_usec < spent) {
        left->tv_sec -= 1;
        left->tv_usec += 1000000;
    }
    left->tv_usec -= spent;
}

} // namespace

int consolewait(char *buf, int seconds) {
    struct timeval left = {seconds, 0};
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        if (sys::select(1, &readable, nullptr, nullptr, &left) <= 0)
            return 0;
        ssize_t n = sys::read(0, buf, 20);
        if (n == 0) {
            if (left.tv_sec == 0 && left.tv_usec == 0)
                return 0;
            rest(&left);
            continue;
        }
        if (n < 0)
            return -2;
        if (n >= 2)
            buf[n - 1] = '\0';
        return static_cast<int>(n - 1);
    }
}
