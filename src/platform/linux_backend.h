// The backend that runs on the board: real system calls, nothing simulated.
#pragma once

#include "platform/backend.h"

#include <map>
#include <string>

namespace sys {

class LinuxBackend : public Backend {
  public:
    LinuxBackend() = default;
    // For the backend's own integration tests: device paths opened through
    // it are replaced by these (for example /dev/ttyS2 by a pseudo-terminal).
    explicit LinuxBackend(std::map<std::string, std::string> path_map)
        : path_map_(std::move(path_map)) {}

    int open(const char *path, int flags, mode_t mode) override;
    int close(int fd) override;
    ssize_t read(int fd, void *buf, size_t count) override;
    ssize_t write(int fd, const void *buf, size_t count) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    ssize_t pread(int fd, void *buf, size_t count, off_t offset) override;
    int ioctl(int fd, unsigned long request, uintptr_t arg) override;
    int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
               struct timeval *timeout) override;
    int tcsetattr(int fd, int actions, const struct termios *tio) override;
    int tcgetattr(int fd, struct termios *tio) override;
    unsigned sleep(unsigned seconds) override;
    int usleep(useconds_t usec) override;
    time_t time(time_t *out) override;
    struct tm *gmtime(const time_t *t) override;
    time_t mktime(struct tm *tm) override;
    int pthread_create(ThreadId *id, ThreadEntry entry, void *arg) override;
    pid_t spawn(ChildRoutine routine, void *arg) override;
    pid_t waitpid(pid_t pid, int *status, int options) override;
    int sigaction(int sig, const struct sigaction *act, struct sigaction *old) override;
    int raise(int sig) override;
    [[noreturn]] void exit(int status) override;
    Dir *opendir(const char *path) override;
    DirEntry *readdir(Dir *dir) override;
    int closedir(Dir *dir) override;
    int chdir(const char *path) override;
    int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *data) override;
    int umount(const char *target) override;
    int statfs(const char *path, struct statfs *buf) override;
    int stat(const char *path, struct stat *buf) override;
    int mkdir(const char *path, mode_t mode) override;
    int access(const char *path, int mode) override;
    int remove(const char *path) override;
    int system(const char *command) override;
    int run(const char *const argv[]) override;
    int setuid(uid_t uid) override;
    int uname(struct utsname *buf) override;
    int socket(int domain, int type, int protocol) override;

  private:
    const char *mapped(const char *path) const;
    std::map<std::string, std::string> path_map_;
};

} // namespace sys
