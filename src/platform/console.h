// Console output: every message leaves in one write to its descriptor, with
// no stdio buffer in between, so the order is the same on a terminal, on a
// pipe and on the simulated board, and a child never repeats its parent's
// output.
#pragma once

#include <cstddef>
#include <cstdint>

// printf-style message to standard output.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// printf-style message to standard error.
void say_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// "prefix: <error text>\n" on standard error, as perror does.
void say_errno(const char *prefix);
// Writes all of buf to fd, continuing after a partial write.
void write_all(int fd, const char *buf, size_t len);

// A line built without printf or the heap, for signal handlers: they may
// run in the middle of any other message, so they format into their own
// stack buffer and leave with one write.
class SignalSafeLine {
  public:
    SignalSafeLine &text(const char *s);
    SignalSafeLine &number(uint32_t value);
    void write_to(int fd) const;

  private:
    char buf_[160];
    size_t len_ = 0;
};
