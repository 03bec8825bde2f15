#include "sim/tool/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

Output::Output(std::string what, std::string path) : what_(std::move(what)) {
    if (path == "-") {
        fd_ = 1;
        name_ = "standard output";
        return;
    }
    name_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0)
        fail("open", errno);
    else
        owned_ = true;
}

Output::Output(int fd, std::string what, std::string name)
    : fd_(fd), what_(std::move(what)), name_(std::move(name)) {}

Output Output::stream(int fd, std::string what) {
    return Output(fd, std::move(what), fd == 2 ? "standard error" : "standard output");
}

Output::Output(Output &&other) noexcept
    : fd_(other.fd_), owned_(other.owned_), what_(std::move(other.what_)),
      name_(std::move(other.name_)), error_(std::move(other.error_)) {
    other.fd_ = -1;
    other.owned_ = false;
}

Output::~Output() {
    if (owned_)
        ::close(fd_);
}

void Output::fail(const char *verb, int err) {
    if (!error_.empty())
        return;
    error_ = std::string("ftq-sim: cannot ") + verb + " " + what_ + " " +
             (std::strcmp(verb, "open") == 0 ? "file " : "to ") + name_ + ": " + std::strerror(err);
}

void Output::write(const std::string &s) {
    if (!error_.empty() || fd_ < 0)
        return;
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an error would never end.
            fail("write", n < 0 ? errno : EIO);
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

bool Output::close() {
    if (fd_ >= 0 && fd_ != 2) {
        // Standard output too: on a file system that reports late, the
        // close is where a lost write shows.
        if (::close(fd_) != 0 && errno != EINTR)
            fail("write", errno);
        fd_ = -1;
        owned_ = false;
    }
    return ok();
}

} // namespace sim
