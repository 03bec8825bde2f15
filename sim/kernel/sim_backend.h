// The platform backend of the simulated board: the POSIX calls of the
// program, served by the kernel and its device models.
#pragma once

#include "platform/backend.h"
#include "sim/kernel/kernel.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Process;
struct FaultRule;

class Kernel::Backend : public sys::Backend {
  public:
    explicit Backend(Kernel &k) : k_(k) {}
    void open_console(Process *p);

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
    int pthread_create(sys::ThreadId *id, sys::ThreadEntry entry, void *arg) override;
    pid_t spawn(sys::ChildRoutine routine, void *arg) override;
    pid_t waitpid(pid_t pid, int *status, int options) override;
    int sigaction(int sig, const struct sigaction *act, struct sigaction *old) override;
    int raise(int sig) override;
    [[noreturn]] void exit(int status) override;
    sys::Dir *opendir(const char *path) override;
    sys::DirEntry *readdir(sys::Dir *dir) override;
    int closedir(sys::Dir *dir) override;
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
    // Common entry of every call: spin guard, pending signals, fault rules.
    // Returns the rule that fires, after applying error and hang modes
    // itself (*result then holds what the call returns).
    const FaultRule *enter(const char *call, const std::string &path,
                           std::optional<unsigned long> request, bool *handled, int *result);
    // The call's return to the program, where a signal that came while it
    // ran meets its disposition. Skipped while a task is being unwound.
    struct Returning {
        Backend &b;
        const char *call;
        ~Returning() noexcept(false);
    };
    void entering(const char *call);
    OpenFile *file(int fd);
    std::string path_of(int fd);
    std::string abs(const char *path);
    int fail(int err);
    int install_file(Process *p, OpenFile of, std::unique_ptr<Device> owned);
    int start_program(const std::vector<std::string> &argv);

    Kernel &k_;
    struct tm gm_ {};
    // Directory streams not yet closed; the kernel frees what the program
    // leaves open when the run ends.
    std::vector<std::unique_ptr<sys::Dir>> dirs_;
};

} // namespace sim
