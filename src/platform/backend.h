// The one boundary between ftq and the operating system.
//
// Every call the product makes to the system goes through the backend that is
// installed process-wide: the Linux backend on the board, the simulated board
// everywhere else. The methods keep the shape of the POSIX calls they stand
// for, and report failure the POSIX way: -1 (or nullptr) with errno set.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <termios.h>

namespace sys {

// An opened directory; each backend derives its own state from it.
struct Dir {
    virtual ~Dir() = default;
};

// The part of struct dirent that the product reads.
struct DirEntry {
    char d_name[256];
};

using ThreadId = unsigned long;
using ThreadEntry = void *(*)(void *);
// The routine a child process runs; its result becomes the exit status.
using ChildRoutine = int (*)(void *);
using SignalHandler = void (*)(int);

class Backend {
  public:
    virtual ~Backend() = default;

    // Files and devices.
    virtual int open(const char *path, int flags, mode_t mode) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void *buf, size_t count) = 0;
    virtual ssize_t write(int fd, const void *buf, size_t count) = 0;
    virtual off_t lseek(int fd, off_t offset, int whence) = 0;
    virtual ssize_t pread(int fd, void *buf, size_t count, off_t offset) = 0;
    // The argument is either a small integer or a pointer, as the request
    // defines; it travels as the kernel's unsigned long would.
    virtual int ioctl(int fd, unsigned long request, uintptr_t arg) = 0;
    virtual int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                       struct timeval *timeout) = 0;
    virtual int tcsetattr(int fd, int actions, const struct termios *tio) = 0;
    virtual int tcgetattr(int fd, struct termios *tio) = 0;

    // Time.
    virtual unsigned sleep(unsigned seconds) = 0;
    virtual int usleep(useconds_t usec) = 0;
    virtual time_t time(time_t *out) = 0;
    virtual struct tm *gmtime(const time_t *t) = 0;
    virtual time_t mktime(struct tm *tm) = 0;

    // Threads, processes and signals.
    virtual int pthread_create(ThreadId *id, ThreadEntry entry, void *arg) = 0;
    // Starts a child process that runs routine(arg) and ends with its
    // result as exit status, without flushing anything of the parent's.
    virtual pid_t spawn(ChildRoutine routine, void *arg) = 0;
    virtual pid_t waitpid(pid_t pid, int *status, int options) = 0;
    virtual int sigaction(int sig, const struct sigaction *act, struct sigaction *old) = 0;
    virtual int raise(int sig) = 0;
    [[noreturn]] virtual void exit(int status) = 0;

    // File systems, processes, identity.
    virtual Dir *opendir(const char *path) = 0;
    virtual DirEntry *readdir(Dir *dir) = 0;
    virtual int closedir(Dir *dir) = 0;
    virtual int chdir(const char *path) = 0;
    virtual int mount(const char *source, const char *target, const char *fstype,
                      unsigned long flags, const void *data) = 0;
    virtual int umount(const char *target) = 0;
    virtual int statfs(const char *path, struct statfs *buf) = 0;
    virtual int stat(const char *path, struct stat *buf) = 0;
    virtual int mkdir(const char *path, mode_t mode) = 0;
    virtual int access(const char *path, int mode) = 0;
    virtual int remove(const char *path) = 0;
    virtual int system(const char *command) = 0;
    // Runs a program with an argument vector and no shell in between, and
    // waits for it; returns its wait status, or -1 when it could not start.
    virtual int run(const char *const argv[]) = 0;
    virtual int setuid(uid_t uid) = 0;
    virtual int uname(struct utsname *buf) = 0;
    virtual int socket(int domain, int type, int protocol) = 0;
};

// The backend in force for the whole process.
Backend &backend();
void install(Backend *b);
// The backend in force, or nullptr when none is.
Backend *installed_backend();

} // namespace sys
