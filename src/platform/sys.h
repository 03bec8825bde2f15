// What product routines call instead of the system: the POSIX calls they
// need, under their own names, forwarded to the installed backend.
#pragma once

#include "platform/backend.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sys {

inline int open(const char *path, int flags, mode_t mode = 0) {
    return backend().open(path, flags, mode);
}
inline int close(int fd) {
    return backend().close(fd);
}
inline ssize_t read(int fd, void *buf, size_t count) {
    return backend().read(fd, buf, count);
}
inline ssize_t write(int fd, const void *buf, size_t count) {
    return backend().write(fd, buf, count);
}
inline off_t lseek(int fd, off_t offset, int whence) {
    return backend().lseek(fd, offset, whence);
}
inline ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
    return backend().pread(fd, buf, count, offset);
}
inline int ioctl(int fd, unsigned long request, int arg) {
    return backend().ioctl(fd, request, static_cast<uintptr_t>(static_cast<unsigned>(arg)));
}
inline int ioctl(int fd, unsigned long request, void *arg) {
    return backend().ioctl(fd, request, reinterpret_cast<uintptr_t>(arg));
}
inline int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                  struct timeval *timeout) {
    return backend().select(nfds, readfds, writefds, exceptfds, timeout);
}
inline int tcsetattr(int fd, int actions, const struct termios *tio) {
    return backend().tcsetattr(fd, actions, tio);
}
inline int tcgetattr(int fd, struct termios *tio) {
    return backend().tcgetattr(fd, tio);
}

inline unsigned sleep(unsigned seconds) {
    return backend().sleep(seconds);
}
inline int usleep(useconds_t usec) {
    return backend().usleep(usec);
}
inline time_t time(time_t *out) {
    return backend().time(out);
}
inline struct tm *gmtime(const time_t *t) {
    return backend().gmtime(t);
}
inline time_t mktime(struct tm *tm) {
    return backend().mktime(tm);
}

inline int pthread_create(ThreadId *id, ThreadEntry entry, void *arg) {
    return backend().pthread_create(id, entry, arg);
}
inline pid_t spawn(ChildRoutine routine, void *arg) {
    return backend().spawn(routine, arg);
}
inline pid_t waitpid(pid_t pid, int *status, int options) {
    return backend().waitpid(pid, status, options);
}
inline int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
    return backend().sigaction(sig, act, old);
}
// BSD semantics, as glibc's signal(): the handler stays installed, the signal
// is blocked while it runs, and interrupted reads are restarted.
SignalHandler signal(int sig, SignalHandler handler);
inline int raise(int sig) {
    return backend().raise(sig);
}
[[noreturn]] inline void exit(int status) {
    backend().exit(status);
    __builtin_unreachable();
}

inline Dir *opendir(const char *path) {
    return backend().opendir(path);
}
inline DirEntry *readdir(Dir *dir) {
    return backend().readdir(dir);
}
inline int closedir(Dir *dir) {
    return backend().closedir(dir);
}
inline int chdir(const char *path) {
    return backend().chdir(path);
}
inline int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
                 const void *data) {
    return backend().mount(source, target, fstype, flags, data);
}
inline int umount(const char *target) {
    return backend().umount(target);
}
inline int statfs(const char *path, struct statfs *buf) {
    return backend().statfs(path, buf);
}
inline int stat(const char *path, struct stat *buf) {
    return backend().stat(path, buf);
}
inline int mkdir(const char *path, mode_t mode) {
    return backend().mkdir(path, mode);
}
inline int access(const char *path, int mode) {
    return backend().access(path, mode);
}
inline int remove(const char *path) {
    return backend().remove(path);
}
inline int system(const char *command) {
    return backend().system(command);
}
inline int run(const char *const argv[]) {
    return backend().run(argv);
}
inline int setuid(uid_t uid) {
    return backend().setuid(uid);
}
inline int uname(struct utsname *buf) {
    return backend().uname(buf);
}
inline int socket(int domain, int type, int protocol) {
    return backend().socket(domain, type, protocol);
}

} // namespace sys
