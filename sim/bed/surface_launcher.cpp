// Runs a program as an older kernel would: the kernel test bed's way of
// showing that the board binary makes no system call its board lacks
// (scripts/test-kernel.sh --surface).
//
//   surface-launcher --last N [--uname26] [--counts FILE] -- PROGRAM [ARG...]
//
// PROGRAM and everything it starts (children inherit the filter: the RS-485
// receiver, system()'s shells, mount and umount) get ENOSYS for every system
// call numbered above N, exactly what a kernel whose table ends at N answers.
// On ARM the private calls (0x0f0001 to 0x0f0005, cacheflush and set_tls
// among them) are older than any table and stay allowed. --uname26 makes
// uname() report a 2.6 release. Every refused call is counted by number;
// FILE receives the counts as one JSON object ({"384":1,"398":2}, {} when
// nothing was refused) once the last filtered process has ended.
//
// The refusal is made here, by a seccomp user-notification supervisor, and
// not by the filter's own SECCOMP_RET_ERRNO, because that leaves no trace
// to count. The launcher's exit status is the program's, or 128 + the
// signal that ended it; 2 is a bad command line, 125 a launcher failure.
// It writes nothing to standard output, which is the program's console.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__arm__)
constexpr unsigned kArch = AUDIT_ARCH_ARM;
constexpr unsigned kPrivateFirst = 0x0f0001;
constexpr unsigned kPrivateLast = 0x0f0005;
#elif defined(__x86_64__)
// The host build runs the same supervisor against the host's own table, so
// that the suite can check it without an ARM kernel.
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
constexpr unsigned kPrivateFirst = 1; // no private range: an empty one
constexpr unsigned kPrivateLast = 0;
#else
#error "surface-launcher knows the system call tables of ARM and x86-64 only"
#endif

// How long the supervisor keeps serving once the program itself has ended,
// for children it left behind; past that they are refused uncounted, by the
// kernel, and the counts say so.
constexpr int kStragglerMs = 2000;

int usage(const char *why) {
    fprintf(stderr, "surface-launcher: %s\n", why);
    fprintf(stderr, "usage: surface-launcher --last N [--uname26] [--counts FILE] -- PROGRAM "
                    "[ARG...]\n");
    return 2;
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "surface-launcher: %s: %s\n", what, strerror(errno));
    _exit(125);
}

int install_filter(unsigned last) {
    // A call from another architecture (OABI, x32) is not one the table
    // describes: the process is killed rather than let through.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, last, 0, 3),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kPrivateFirst, 0, 3),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kPrivateLast, 2, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    // Jump offsets above: a number not above N goes to the first ALLOW, a
    // private one to the second, everything else to USER_NOTIF.
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("PR_SET_NO_NEW_PRIVS");
    long fd =
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    if (fd < 0)
        fail("installing the seccomp filter");
    return static_cast<int>(fd);
}

void send_fd(int sock, int fd) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (sendmsg(sock, &msg, 0) != 1)
        fail("handing the listener to the supervisor");
}

int receive_fd(int sock) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(sock, &msg, 0);
    while (n < 0 && errno == EINTR);
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (n != 1 || c == nullptr || c->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

// Answers one pending notification with ENOSYS and counts it. A process
// that died while waiting makes the exchange fail with ENOENT: its call was
// still made, so it still counts.
void refuse_one(int listener, std::map<unsigned, unsigned long> &counts) {
    seccomp_notif req{};
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0)
        return; // EINTR, or the caller is gone before it could be read
    counts[static_cast<unsigned>(req.data.nr)]++;
    seccomp_notif_resp resp{};
    resp.id = req.id;
    resp.error = -ENOSYS;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
}

std::string counts_json(const std::map<unsigned, unsigned long> &counts, bool stragglers) {
    std::string out = "{";
    for (const auto &[nr, n] : counts) {
        if (out.size() > 1)
            out += ",";
        out += "\"" + std::to_string(nr) + "\":" + std::to_string(n);
    }
    if (stragglers)
        out += std::string(out.size() > 1 ? "," : "") + "\"uncounted\":true";
    return out + "}";
}

} // namespace

int main(int argc, char **argv) {
    long last = -1;
    bool uname26 = false;
    const char *counts_path = nullptr;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--") {
            i++;
            break;
        }
        if (a == "--uname26") {
            uname26 = true;
        } else if (a == "--last" && i + 1 < argc) {
            char *end = nullptr;
            errno = 0;
            last = strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || last < 0 || last > 0xffff)
                return usage("--last wants a system call number");
        } else if (a == "--counts" && i + 1 < argc) {
            counts_path = argv[++i];
        } else {
            return usage(("unknown argument " + a).c_str());
        }
    }
    if (last < 0)
        return usage("--last is required");
    if (i >= argc)
        return usage("no program to run");

    // The counts file is opened before the program starts, so that a path
    // that cannot be written fails the launch rather than lose the counts.
    FILE *counts_file = nullptr;
    if (counts_path != nullptr && (counts_file = fopen(counts_path, "w")) == nullptr)
        fail(counts_path);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        fail("socketpair");
    pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        close(pair[0]);
        if (counts_file != nullptr)
            fclose(counts_file);
        if (uname26 && personality(static_cast<unsigned long>(PER_LINUX) | UNAME26) < 0)
            fail("personality UNAME26");
        int listener = install_filter(static_cast<unsigned>(last));
        send_fd(pair[1], listener);
        close(listener);
        close(pair[1]);
        execvp(argv[i], argv + i);
        fprintf(stderr, "surface-launcher: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    close(pair[1]);
    // As a shell does for the command it runs: Ctrl-C at the console is the
    // program's to handle, and its end is reported below.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);

    std::map<unsigned, unsigned long> counts;
    int listener = receive_fd(pair[0]);
    close(pair[0]);
    int status = 0;
    bool child_done = false;
    bool stragglers = false;
    if (listener < 0) {
        // The child could not filter itself and said why; it has ended.
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        child_done = true;
    } else {
        // A filter is released only once its last process has been reaped,
        // so the listener hangs up only after the program is waited for: a
        // pidfd tells of its end at once (polling every 100 ms otherwise).
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
        int waited_ms = 0;
        for (;;) {
            pollfd p[2] = {{listener, POLLIN, 0}, {pidfd, POLLIN, 0}};
            int n = poll(p, child_done || pidfd < 0 ? 1 : 2, 100);
            if (n > 0 && (p[0].revents & POLLIN)) {
                refuse_one(listener, counts);
                continue;
            }
            if (n > 0 && (p[0].revents & (POLLHUP | POLLERR)))
                break; // no filtered process is left
            if (!child_done && waitpid(child, &status, WNOHANG) == child)
                child_done = true;
            if (n == 0 && child_done && (waited_ms += 100) >= kStragglerMs) {
                stragglers = true;
                break;
            }
        }
        if (pidfd >= 0)
            close(pidfd);
        close(listener);
    }
    if (!child_done)
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }

    if (counts_file != nullptr) {
        std::string json = counts_json(counts, stragglers) + "\n";
        if (fputs(json.c_str(), counts_file) < 0 || fclose(counts_file) != 0)
            fail(counts_path);
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
