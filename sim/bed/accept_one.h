// The peers on the host's side serve one connection, qemu's, on a Unix
// socket that qemu connects to as a client.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bed {

// Listens on `path` and accepts the first connection; -1 after a message
// that names `who` when either fails.
inline int accept_one(const std::string &path, const char *who) {
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ::unlink(path.c_str());
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(lfd, 1) != 0) {
        perror(path.c_str());
        return -1;
    }
    int fd = ::accept(lfd, nullptr, nullptr);
    if (fd < 0)
        fprintf(stderr, "%s: accept: %s\n", who, strerror(errno));
    ::close(lfd);
    return fd;
}

// Sends all of `b` on the connection; false once the peer is gone.
inline bool send_all(int fd, const uint8_t *b, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        b += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace bed
