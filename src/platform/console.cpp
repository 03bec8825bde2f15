#include "platform/console.h"

#include "platform/sys.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

void write_all(int fd, const char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = sys::write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

static void vsay(int fd, const char *fmt, va_list ap) {
    char local[512];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof local) {
        write_all(fd, local, static_cast<size_t>(n));
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), fmt, again);
        write_all(fd, big.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(1, fmt, ap);
    va_end(ap);
}

void say_err(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(2, fmt, ap);
    va_end(ap);
}

void say_errno(const char *prefix) {
    int saved = errno;
    char text[128];
    const char *msg = strerror_r(saved, text, sizeof text);
    say_err("%s: %s\n", prefix, msg);
    errno = saved;
}

SignalSafeLine &SignalSafeLine::text(const char *s) {
    while (*s && len_ < sizeof buf_)
        buf_[len_++] = *s++;
    return *this;
}

SignalSafeLine &SignalSafeLine::number(uint32_t value) {
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0 && len_ < sizeof buf_)
        buf_[len_++] = digits[--n];
    return *this;
}

void SignalSafeLine::write_to(int fd) const {
    write_all(fd, buf_, len_);
}
