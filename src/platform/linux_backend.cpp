#include "platform/linux_backend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sys {

namespace {
// Directories are read with getdents64 on a descriptor of our own, not with
// the C library's opendir: glibc checks the new descriptor with statx and,
// on a kernel without it, with fstatat64(AT_EMPTY_PATH), a flag the board's
// 2.6.37 refuses with EINVAL, so every opendir would fail there.
struct LinuxDir : Dir {
    int fd = -1;
    size_t next = 0; // the next record in buf
    size_t filled = 0;
    alignas(struct dirent64) char buf[4096];
    DirEntry entry{};
};
} // namespace

const char *LinuxBackend::mapped(const char *path) const {
    if (path == nullptr)
        return path;
    auto it = path_map_.find(path);
    return it == path_map_.end() ? path : it->second.c_str();
}

int LinuxBackend::open(const char *path, int flags, mode_t mode) {
    return ::open(mapped(path), flags, mode);
}
int LinuxBackend::close(int fd) {
    return ::close(fd);
}
ssize_t LinuxBackend::read(int fd, void *buf, size_t count) {
    return ::read(fd, buf, count);
}
ssize_t LinuxBackend::write(int fd, const void *buf, size_t count) {
    return ::write(fd, buf, count);
}
off_t LinuxBackend::lseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}
ssize_t LinuxBackend::pread(int fd, void *buf, size_t count, off_t offset) {
    return ::pread(fd, buf, count, offset);
}
int LinuxBackend::ioctl(int fd, unsigned long request, uintptr_t arg) {
    return ::ioctl(fd, request, arg);
}
int LinuxBackend::select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                         struct timeval *timeout) {
    return ::select(nfds, readfds, writefds, exceptfds, timeout);
}
int LinuxBackend::tcsetattr(int fd, int actions, const struct termios *tio) {
    return ::tcsetattr(fd, actions, tio);
}
int LinuxBackend::tcgetattr(int fd, struct termios *tio) {
    return ::tcgetattr(fd, tio);
}

unsigned LinuxBackend::sleep(unsigned seconds) {
    return ::sleep(seconds);
}
int LinuxBackend::usleep(useconds_t usec) {
    return ::usleep(usec);
}
time_t LinuxBackend::time(time_t *out) {
    return ::time(out);
}
struct tm *LinuxBackend::gmtime(const time_t *t) {
    return ::gmtime(t);
}
time_t LinuxBackend::mktime(struct tm *tm) {
    return ::mktime(tm);
}

int LinuxBackend::pthread_create(ThreadId *id, ThreadEntry entry, void *arg) {
    pthread_t tid;
    int rc = ::pthread_create(&tid, nullptr, entry, arg);
    if (rc == 0 && id != nullptr)
        *id = static_cast<ThreadId>(tid);
    return rc;
}

pid_t LinuxBackend::spawn(ChildRoutine routine, void *arg) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(routine(arg)); // nothing of the parent's is flushed twice
    return pid;
}

pid_t LinuxBackend::waitpid(pid_t pid, int *status, int options) {
    return ::waitpid(pid, status, options);
}
int LinuxBackend::sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
    return ::sigaction(sig, act, old);
}
int LinuxBackend::raise(int sig) {
    return ::raise(sig);
}
void LinuxBackend::exit(int status) {
    ::exit(status);
}

Dir *LinuxBackend::opendir(const char *path) {
    int fd = ::open(mapped(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto *ld = new LinuxDir;
    ld->fd = fd;
    return ld;
}

// As readdir(3): null at the end with errno untouched, null with errno set
// on an error.
DirEntry *LinuxBackend::readdir(Dir *dir) {
    auto *ld = static_cast<LinuxDir *>(dir);
    if (ld->next >= ld->filled) {
        ssize_t n = ::getdents64(ld->fd, ld->buf, sizeof ld->buf);
        if (n <= 0)
            return nullptr;
        ld->next = 0;
        ld->filled = static_cast<size_t>(n);
    }
    const auto *e = reinterpret_cast<const struct dirent64 *>(ld->buf + ld->next);
    ld->next += e->d_reclen;
    snprintf(ld->entry.d_name, sizeof ld->entry.d_name, "%s", e->d_name);
    return &ld->entry;
}

int LinuxBackend::closedir(Dir *dir) {
    auto *ld = static_cast<LinuxDir *>(dir);
    int rc = ::close(ld->fd);
    delete ld;
    return rc;
}

int LinuxBackend::chdir(const char *path) {
    return ::chdir(mapped(path));
}
int LinuxBackend::mount(const char *source, const char *target, const char *fstype,
                        unsigned long flags, const void *data) {
    return ::mount(source, target, fstype, flags, data);
}
int LinuxBackend::umount(const char *target) {
    return ::umount(target);
}
int LinuxBackend::statfs(const char *path, struct statfs *buf) {
    return ::statfs(path, buf);
}
int LinuxBackend::stat(const char *path, struct stat *buf) {
    return ::stat(path, buf);
}
int LinuxBackend::mkdir(const char *path, mode_t mode) {
    return ::mkdir(path, mode);
}
int LinuxBackend::access(const char *path, int mode) {
    return ::access(mapped(path), mode);
}
int LinuxBackend::remove(const char *path) {
    return ::remove(mapped(path));
}
int LinuxBackend::system(const char *command) {
    return ::system(command);
}

int LinuxBackend::run(const char *const argv[]) {
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        ::execvp(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

int LinuxBackend::setuid(uid_t uid) {
    return ::setuid(uid);
}
int LinuxBackend::uname(struct utsname *buf) {
    return ::uname(buf);
}
int LinuxBackend::socket(int domain, int type, int protocol) {
    return ::socket(domain, type, protocol);
}

} // namespace sys
