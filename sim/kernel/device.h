// What a device model offers the simulated kernel for one of its nodes.
//
// Results follow the kernel's convention: a count or 0 on success, -errno on
// failure. A read with nothing to give returns -EAGAIN; the kernel then makes
// a blocking caller wait until readable() turns true.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>

namespace sim {

using Time = int64_t; // microseconds of virtual time since the board started
constexpr Time kMillisecond = 1000;
constexpr Time kSecond = 1000000;

class Device;

// An open file description: shared by the descriptors that dup or a child
// process inherit, released when the last of them is closed.
struct OpenFile {
    std::string path;
    Device *dev = nullptr;
    int flags = 0;
    off_t offset = 0;
    int id = 0; // unique per open, for models that keep per-open state
};

class Device {
  public:
    virtual ~Device() = default;
    virtual int open(OpenFile &) { return 0; }
    virtual void close(OpenFile &) {}
    virtual ssize_t read(OpenFile &, void *, size_t) { return -EINVAL; }
    virtual ssize_t write(OpenFile &, const void *, size_t) { return -EINVAL; }
    virtual ssize_t pread(OpenFile &, void *, size_t, off_t) { return -ESPIPE; }
    // The size that lseek(SEEK_END) measures from; -ESPIPE when unseekable.
    virtual off_t size(OpenFile &) { return -ESPIPE; }
    virtual int ioctl(OpenFile &, unsigned long, uintptr_t) { return -ENOTTY; }
    virtual bool readable(const OpenFile &) { return true; }
    virtual bool writable(const OpenFile &) { return true; }
    virtual int tcsetattr(OpenFile &, int, const struct termios &) { return -ENOTTY; }
    virtual int tcgetattr(OpenFile &, struct termios &) { return -ENOTTY; }
};

} // namespace sim
