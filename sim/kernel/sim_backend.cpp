#include "sim/kernel/sim_backend.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/process.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>

namespace sim {

namespace {

// A directory stream holds a descriptor of its own, as glibc's DIR does, so
// that one left open shows among the process's descriptors.
struct SimDir : sys::Dir {
    std::vector<std::string> names;
    size_t pos = 0;
    std::string path;
    int fd = -1;
    Process *owner = nullptr;
    sys::DirEntry entry{};
};

class DirectoryDevice : public Device {
  public:
    ssize_t read(OpenFile &, void *, size_t) override { return -EISDIR; }
};
DirectoryDevice directory_device;

// A device that swallows writes and never has input: what stands behind the
// console when no console model is built.
class NullDevice : public Device {
  public:
    ssize_t read(OpenFile &, void *, size_t) override { return 0; }
    ssize_t write(OpenFile &, const void *, size_t n) override { return static_cast<ssize_t>(n); }
};
NullDevice null_device;

Time timeval_us(const struct timeval &tv) {
    return static_cast<Time>(tv.tv_sec) * kSecond + tv.tv_usec;
}

// What a short read or write moves of the count asked for: at least one
// byte, so that a short call never looks like the end of a file.
size_t shortened(const FaultRule &rule, size_t count) {
    if (rule.at_most > 0)
        return std::min(count, rule.at_most);
    return count > 1 ? count / 2 : count;
}

} // namespace

int Kernel::Backend::fail(int err) {
    errno = err;
    return -1;
}

std::string Kernel::Backend::abs(const char *path) {
    Process *p = k_.current_process();
    return Vfs::normalize(p ? p->cwd : "/", path ? path : "");
}

OpenFile *Kernel::Backend::file(int fd) {
    Process *p = k_.current_process();
    if (fd < 0 || static_cast<size_t>(fd) >= p->fds.size() || !p->fds[fd])
        return nullptr;
    return &p->fds[fd]->of;
}

std::string Kernel::Backend::path_of(int fd) {
    OpenFile *f = file(fd);
    return f ? f->path : std::string();
}

void Kernel::Backend::entering(const char *call) {
    k_.check_spin();
    k_.pass_call_point(call, false);
}

Kernel::Backend::Returning::~Returning() noexcept(false) {
    if (std::uncaught_exceptions() > 0)
        return;
    // The call's result is set already; a handler must not change its errno.
    int err = errno;
    b.k_.pass_call_point(call, true);
    errno = err;
}

const FaultRule *Kernel::Backend::enter(const char *call, const std::string &path,
                                        std::optional<unsigned long> request, bool *handled,
                                        int *result) {
    *handled = false;
    entering(call);
    const FaultRule *r = k_.faults_->match(call, path, request);
    if (k_.record_calls_) {
        Task *t = k_.current_task();
        k_.calls_.push_back(
            {k_.now_, t->proc->pid, t->id, call, path, request, k_.console_.size(), r != nullptr});
    }
    if (r == nullptr)
        return nullptr;
    static const char *modes[] = {"error", "short", "interrupt", "hang"};
    k_.trace("fault", call,
             {{"path", path}, {"mode", modes[static_cast<int>(r->mode)]}, {"errno", r->err}});
    switch (r->mode) {
    case FaultRule::Mode::Error:
        *handled = true;
        *result = fail(r->err);
        break;
    case FaultRule::Mode::Interrupt:
        *handled = true;
        *result = fail(EINTR);
        break;
    case FaultRule::Mode::Hang:
        // A select on a device that never answers still ends at its
        // time-out: it is the device that hangs, not the call.
        if (std::string(call) == "select")
            break;
        k_.block(nullptr, kForever, true);
        k_.deliver_signals();
        *handled = true;
        *result = fail(EINTR);
        break;
    case FaultRule::Mode::Short:
        break;
    }
    return r;
}

#define ENTER(call, path, request)                                                                 \
    Returning returning_{*this, call};                                                             \
    bool handled_ = false;                                                                         \
    int result_ = 0;                                                                               \
    const FaultRule *rule_ = enter(call, path, request, &handled_, &result_);                      \
    if (handled_)                                                                                  \
        return result_;                                                                            \
    bool short_ = rule_ != nullptr && rule_->mode == FaultRule::Mode::Short;                       \
    (void)short_

int Kernel::Backend::install_file(Process *p, OpenFile of, std::unique_ptr<Device> owned) {
    static int next_open_id = 1;
    of.id = next_open_id++;
    auto ref = std::make_shared<FileRef>();
    ref->of = std::move(of);
    ref->owned = std::move(owned);
    for (size_t i = 0; i < p->fds.size(); ++i)
        if (!p->fds[i]) {
            p->fds[i] = ref;
            return static_cast<int>(i);
        }
    p->fds.push_back(ref);
    return static_cast<int>(p->fds.size() - 1);
}

void Kernel::Backend::open_console(Process *p) {
    Node *n = k_.vfs_.lookup("/dev/console");
    Device *dev = (n && n->kind == Node::Kind::Device) ? n->dev : &null_device;
    const int modes[3] = {O_RDONLY, O_WRONLY, O_WRONLY};
    const char *names[3] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    for (int fd = 0; fd < 3; ++fd) {
        int mode = modes[fd];
        OpenFile of;
        of.path = names[fd];
        of.dev = dev;
        of.flags = mode;
        dev->open(of);
        install_file(p, of, nullptr);
    }
}

int Kernel::Backend::open(const char *path, int flags, mode_t) {
    std::string full = abs(path);
    ENTER("open", full, std::nullopt);
    Process *p = k_.current_process();
    Node *n = k_.vfs_.lookup(full);
    if (n == nullptr && (flags & O_CREAT)) {
        k_.vfs_.add_file(full, "");
        n = k_.vfs_.lookup(full);
    }
    if (n == nullptr || !n->can_open)
        return fail(ENOENT);
    if (n->kind == Node::Kind::Dir)
        return fail(EISDIR);
    OpenFile of;
    of.path = full;
    of.flags = flags;
    std::unique_ptr<Device> owned;
    if (n->kind == Node::Kind::File) {
        owned = std::make_unique<FileDevice>(k_.vfs_, full);
        of.dev = owned.get();
        if (flags & O_TRUNC)
            n->content.clear();
    } else {
        of.dev = n->dev;
    }
    int rc = of.dev->open(of);
    if (rc < 0)
        return fail(-rc);
    return install_file(p, std::move(of), std::move(owned));
}

int Kernel::Backend::close(int fd) {
    Returning returning{*this, "close"};
    bool failed = false;
    int result = 0;
    enter("close", path_of(fd), std::nullopt, &failed, &result);
    int err = errno;
    Process *p = k_.current_process();
    if (file(fd) == nullptr)
        return fail(EBADF);
    std::shared_ptr<FileRef> ref = std::move(p->fds[fd]);
    {
        std::lock_guard<std::mutex> g(k_.mu_);
        ref.reset();
    }
    // As on Linux, the descriptor is gone even when close reports an error
    // (EINTR and EIO included): retrying it could close another one.
    return failed ? fail(err) : 0;
}

ssize_t Kernel::Backend::read(int fd, void *buf, size_t count) {
    ENTER("read", path_of(fd), std::nullopt);
    Process *p = k_.current_process();
    if (file(fd) == nullptr)
        return fail(EBADF);
    std::shared_ptr<FileRef> ref = p->fds[fd];
    if (short_)
        count = shortened(*rule_, count);
    for (;;) {
        ssize_t r = ref->of.dev->read(ref->of, buf, count);
        if (r == -EAGAIN && !(ref->of.flags & O_NONBLOCK)) {
            Device *dev = ref->of.dev;
            OpenFile *of = &ref->of;
            if (k_.block([dev, of] { return dev->readable(*of); }, kForever, true) ==
                Wake::Signal) {
                k_.deliver_signals();
                return fail(EINTR);
            }
            continue;
        }
        if (r < 0)
            return fail(static_cast<int>(-r));
        return r;
    }
}

ssize_t Kernel::Backend::write(int fd, const void *buf, size_t count) {
    ENTER("write", path_of(fd), std::nullopt);
    Process *p = k_.current_process();
    if (file(fd) == nullptr)
        return fail(EBADF);
    std::shared_ptr<FileRef> ref = p->fds[fd];
    if (short_)
        count = shortened(*rule_, count);
    for (;;) {
        ssize_t r = ref->of.dev->write(ref->of, buf, count);
        if (r == -EAGAIN && !(ref->of.flags & O_NONBLOCK)) {
            Device *dev = ref->of.dev;
            OpenFile *of = &ref->of;
            if (k_.block([dev, of] { return dev->writable(*of); }, kForever, true) ==
                Wake::Signal) {
                k_.deliver_signals();
                return fail(EINTR);
            }
            continue;
        }
        if (r < 0)
            return fail(static_cast<int>(-r));
        return r;
    }
}

off_t Kernel::Backend::lseek(int fd, off_t offset, int whence) {
    ENTER("lseek", path_of(fd), std::nullopt);
    OpenFile *f = file(fd);
    if (f == nullptr)
        return fail(EBADF);
    off_t size = f->dev->size(*f);
    if (size < 0)
        return fail(static_cast<int>(-size));
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->offset : size;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return fail(EINVAL);
    if (base + offset < 0)
        return fail(EINVAL);
    f->offset = base + offset;
    return f->offset;
}

ssize_t Kernel::Backend::pread(int fd, void *buf, size_t count, off_t offset) {
    ENTER("pread", path_of(fd), std::nullopt);
    OpenFile *f = file(fd);
    if (f == nullptr)
        return fail(EBADF);
    if (short_)
        count = shortened(*rule_, count);
    ssize_t r = f->dev->pread(*f, buf, count, offset);
    if (r < 0)
        return fail(static_cast<int>(-r));
    return r;
}

int Kernel::Backend::ioctl(int fd, unsigned long request, uintptr_t arg) {
    ENTER("ioctl", path_of(fd), request);
    OpenFile *f = file(fd);
    if (f == nullptr)
        return fail(EBADF);
    int r = f->dev->ioctl(*f, request, arg);
    if (r < 0)
        return fail(-r);
    return r;
}

int Kernel::Backend::select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                            struct timeval *timeout) {
    std::string first_path;
    for (int fd = 0; fd < nfds && first_path.empty(); ++fd)
        if ((readfds && FD_ISSET(fd, readfds)) || (writefds && FD_ISSET(fd, writefds)))
            first_path = path_of(fd);
    ENTER("select", first_path, std::nullopt);
    if (nfds < 0 || nfds > FD_SETSIZE)
        return fail(EINVAL);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000))
        return fail(EINVAL);
    Process *p = k_.current_process();
    std::vector<std::shared_ptr<FileRef>> rd(nfds), wr(nfds);
    for (int fd = 0; fd < nfds; ++fd) {
        bool want_r = readfds && FD_ISSET(fd, readfds);
        bool want_w = writefds && FD_ISSET(fd, writefds);
        if (!want_r && !want_w)
            continue;
        if (file(fd) == nullptr)
            return fail(EBADF);
        if (want_r)
            rd[fd] = p->fds[fd];
        if (want_w)
            wr[fd] = p->fds[fd];
    }
    bool never_ready = rule_ != nullptr && rule_->mode == FaultRule::Mode::Hang;
    auto count_ready = [&rd, &wr, nfds, never_ready] {
        int n = 0;
        if (never_ready)
            return 0;
        for (int fd = 0; fd < nfds; ++fd) {
            if (rd[fd] && rd[fd]->of.dev->readable(rd[fd]->of))
                ++n;
            if (wr[fd] && wr[fd]->of.dev->writable(wr[fd]->of))
                ++n;
        }
        return n;
    };
    auto report = [&] {
        int n = 0;
        for (int fd = 0; fd < nfds; ++fd) {
            if (rd[fd]) {
                if (!never_ready && rd[fd]->of.dev->readable(rd[fd]->of))
                    ++n;
                else
                    FD_CLR(fd, readfds);
            }
            if (wr[fd]) {
                if (!never_ready && wr[fd]->of.dev->writable(wr[fd]->of))
                    ++n;
                else
                    FD_CLR(fd, writefds);
            }
        }
        if (exceptfds)
            FD_ZERO(exceptfds);
        return n;
    };
    if (count_ready() > 0)
        return report();
    Time start = k_.now();
    Time wait = timeout ? timeval_us(*timeout) : kForever;
    Wake w = Wake::Timeout;
    if (wait > 0)
        w = k_.block([&count_ready] { return count_ready() > 0; },
                     timeout ? start + wait : kForever, true);
    // Linux leaves the unspent time in the time-out.
    if (timeout) {
        Time left = std::max<Time>(0, start + wait - k_.now());
        timeout->tv_sec = static_cast<time_t>(left / kSecond);
        timeout->tv_usec = static_cast<suseconds_t>(left % kSecond);
    }
    if (w == Wake::Signal) {
        k_.deliver_signals();
        return fail(EINTR);
    }
    if (w == Wake::Timeout) {
        if (readfds)
            FD_ZERO(readfds);
        if (writefds)
            FD_ZERO(writefds);
        if (exceptfds)
            FD_ZERO(exceptfds);
        return 0;
    }
    return report();
}

int Kernel::Backend::tcsetattr(int fd, int actions, const struct termios *tio) {
    ENTER("tcsetattr", path_of(fd), std::nullopt);
    OpenFile *f = file(fd);
    if (f == nullptr)
        return fail(EBADF);
    if (tio == nullptr)
        return fail(EFAULT);
    int r = f->dev->tcsetattr(*f, actions, *tio);
    return r < 0 ? fail(-r) : r;
}

int Kernel::Backend::tcgetattr(int fd, struct termios *tio) {
    Returning returning{*this, "tcgetattr"};
    entering("tcgetattr");
    OpenFile *f = file(fd);
    if (f == nullptr)
        return fail(EBADF);
    int r = f->dev->tcgetattr(*f, *tio);
    return r < 0 ? fail(-r) : r;
}

unsigned Kernel::Backend::sleep(unsigned seconds) {
    Returning returning{*this, "sleep"};
    entering("sleep");
    Time end = k_.now() + static_cast<Time>(seconds) * kSecond;
    if (k_.block(nullptr, end, true) == Wake::Signal) {
        k_.deliver_signals();
        Time left = end - k_.now();
        return static_cast<unsigned>((left + kSecond - 1) / kSecond);
    }
    return 0;
}

int Kernel::Backend::usleep(useconds_t usec) {
    Returning returning{*this, "usleep"};
    entering("usleep");
    if (k_.block(nullptr, k_.now() + usec, true) == Wake::Signal) {
        k_.deliver_signals();
        return fail(EINTR);
    }
    return 0;
}

time_t Kernel::Backend::time(time_t *out) {
    Returning returning{*this, "time"};
    entering("time");
    time_t t = static_cast<time_t>(k_.epoch_at(k_.now()));
    if (out)
        *out = t;
    return t;
}

struct tm *Kernel::Backend::gmtime(const time_t *t) {
    return gmtime_r(t, &gm_);
}

time_t Kernel::Backend::mktime(struct tm *tm) {
    // The board's time_t is 32 bits wide: a date it cannot hold is -1.
    struct tm copy = *tm;
    copy.tm_isdst = 0;
    int64_t local = static_cast<int64_t>(timegm(&copy));
    int64_t t = local - k_.zone_offset_;
    if (t < INT32_MIN || t > INT32_MAX)
        return static_cast<time_t>(-1);
    *tm = copy;
    return static_cast<time_t>(t);
}

int Kernel::Backend::pthread_create(sys::ThreadId *id, sys::ThreadEntry entry, void *arg) {
    ENTER("pthread_create", "", std::nullopt);
    Process *p = k_.current_process();
    std::lock_guard<std::mutex> g(k_.mu_);
    Task *t = k_.new_task(p, [entry, arg] { entry(arg); });
    if (id)
        *id = static_cast<sys::ThreadId>(t->id);
    k_.trace("kernel", "thread", {{"pid", p->pid}, {"task", t->id}});
    return 0;
}

pid_t Kernel::Backend::spawn(sys::ChildRoutine routine, void *arg) {
    ENTER("spawn", "", std::nullopt);
    Process *parent = k_.current_process();
    std::lock_guard<std::mutex> g(k_.mu_);
    auto child = std::make_unique<Process>();
    child->pid = k_.next_pid_++;
    child->parent = parent->pid;
    child->fds = parent->fds;
    std::copy(std::begin(parent->actions), std::end(parent->actions), std::begin(child->actions));
    child->cwd = parent->cwd;
    Process *c = child.get();
    k_.processes_.push_back(std::move(child));
    Kernel &k = k_;
    k_.new_task(c, [&k, c, routine, arg] {
        int rc = routine(arg);
        std::lock_guard<std::mutex> lock(k.mu_);
        k.end_process(c, (rc & 0xff) << 8);
    });
    k_.trace("kernel", "spawn", {{"parent", parent->pid}, {"pid", c->pid}});
    return c->pid;
}

pid_t Kernel::Backend::waitpid(pid_t pid, int *status, int options) {
    ENTER("waitpid", "", std::nullopt);
    Process *self = k_.current_process();
    Process *child = nullptr;
    for (auto &p : k_.processes_)
        if (p->parent == self->pid && !p->reaped && (pid == -1 || p->pid == pid))
            child = p.get();
    if (child == nullptr)
        return fail(ECHILD);
    if (!child->ended) {
        if (options & WNOHANG)
            return 0;
        if (k_.block([child] { return child->ended; }, kForever, true) == Wake::Signal) {
            k_.deliver_signals();
            return fail(EINTR);
        }
    }
    child->reaped = true;
    if (status)
        *status = child->status;
    return child->pid;
}

int Kernel::Backend::sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
    ENTER("sigaction", "", std::nullopt);
    if (sig <= 0 || sig >= NSIG || sig >= 64 || ((sig == SIGKILL || sig == SIGSTOP) && act))
        return fail(EINVAL);
    Process *p = k_.current_process();
    if (old)
        *old = p->actions[sig];
    if (act) {
        p->actions[sig] = *act;
        const char *what = act->sa_handler == SIG_DFL   ? "default"
                           : act->sa_handler == SIG_IGN ? "ignore"
                                                        : "handler";
        k_.trace("kernel", "sigaction", {{"pid", p->pid}, {"signal", sig}, {"action", what}});
    }
    return 0;
}

int Kernel::Backend::raise(int sig) {
    Returning returning{*this, "raise"};
    entering("raise");
    if (sig <= 0 || sig >= 64)
        return fail(EINVAL);
    k_.current_task()->pending |= sigbit(sig);
    k_.deliver_signals();
    return 0;
}

void Kernel::Backend::exit(int status) {
    {
        std::lock_guard<std::mutex> g(k_.mu_);
        k_.end_process(k_.current_process(), (status & 0xff) << 8);
    }
    throw TaskKilled{};
}

sys::Dir *Kernel::Backend::opendir(const char *path) {
    std::string full = abs(path);
    Returning returning{*this, "opendir"};
    bool handled = false;
    int result = 0;
    enter("opendir", full, std::nullopt, &handled, &result);
    if (handled)
        return nullptr;
    Node *n = k_.vfs_.lookup(full);
    if (n == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    if (n->kind != Node::Kind::Dir) {
        errno = ENOTDIR;
        return nullptr;
    }
    auto d = std::make_unique<SimDir>();
    d->path = full;
    d->names = {".", ".."};
    for (const auto &e : n->entries)
        d->names.push_back(e);
    OpenFile of;
    of.path = full;
    of.dev = &directory_device;
    of.flags = O_RDONLY | O_DIRECTORY;
    d->owner = k_.current_process();
    d->fd = install_file(d->owner, std::move(of), nullptr);
    SimDir *raw = d.get();
    dirs_.push_back(std::move(d));
    return raw;
}

sys::DirEntry *Kernel::Backend::readdir(sys::Dir *dir) {
    auto *d = static_cast<SimDir *>(dir);
    Returning returning{*this, "readdir"};
    bool handled = false;
    int result = 0;
    enter("readdir", d ? d->path : "", std::nullopt, &handled, &result);
    if (handled || d == nullptr || d->pos >= d->names.size())
        return nullptr;
    const std::string &name = d->names[d->pos++];
    size_t n = std::min(name.size(), sizeof d->entry.d_name - 1);
    std::memcpy(d->entry.d_name, name.data(), n);
    d->entry.d_name[n] = '\0';
    return &d->entry;
}

int Kernel::Backend::closedir(sys::Dir *dir) {
    Returning returning{*this, "closedir"};
    entering("closedir");
    auto it = std::find_if(dirs_.begin(), dirs_.end(),
                           [dir](const std::unique_ptr<sys::Dir> &d) { return d.get() == dir; });
    if (dir == nullptr || it == dirs_.end())
        return fail(EBADF);
    auto *d = static_cast<SimDir *>(dir);
    if (d->fd >= 0 && static_cast<size_t>(d->fd) < d->owner->fds.size()) {
        std::lock_guard<std::mutex> g(k_.mu_);
        d->owner->fds[static_cast<size_t>(d->fd)].reset();
    }
    dirs_.erase(it);
    return 0;
}

int Kernel::Backend::chdir(const char *path) {
    std::string full = abs(path);
    ENTER("chdir", full, std::nullopt);
    Node *n = k_.vfs_.lookup(full);
    if (n == nullptr)
        return fail(ENOENT);
    if (n->kind != Node::Kind::Dir)
        return fail(ENOTDIR);
    k_.current_process()->cwd = full;
    return 0;
}

int Kernel::Backend::mount(const char *source, const char *target, const char *fstype,
                           unsigned long flags, const void *) {
    std::string src = abs(source), tgt = abs(target);
    ENTER("mount", tgt, std::nullopt);
    int r = k_.wiring_.mount ? k_.wiring_.mount(src, tgt, fstype ? fstype : "") : -ENODEV;
    k_.trace("fs", "mount",
             {{"source", src},
              {"target", tgt},
              {"type", fstype ? fstype : ""},
              {"flags", flags},
              {"result", r}});
    return r < 0 ? fail(-r) : 0;
}

int Kernel::Backend::umount(const char *target) {
    std::string tgt = abs(target);
    ENTER("umount", tgt, std::nullopt);
    int r = k_.wiring_.umount ? k_.wiring_.umount(tgt) : -EINVAL;
    k_.trace("fs", "umount", {{"target", tgt}, {"result", r}});
    return r < 0 ? fail(-r) : 0;
}

int Kernel::Backend::statfs(const char *path, struct statfs *buf) {
    std::string full = abs(path);
    ENTER("statfs", full, std::nullopt);
    if (!k_.vfs_.exists(full))
        return fail(ENOENT);
    std::memset(buf, 0, sizeof *buf);
    int r = 0;
    if (k_.wiring_.statfs) {
        r = k_.wiring_.statfs(full, *buf);
    } else {
        buf->f_bsize = 4096;
        buf->f_blocks = 16384;
        buf->f_bfree = 8192;
        buf->f_bavail = 8192;
    }
    return r < 0 ? fail(-r) : 0;
}

int Kernel::Backend::stat(const char *path, struct stat *buf) {
    std::string full = abs(path);
    ENTER("stat", full, std::nullopt);
    Node *n = k_.vfs_.lookup(full);
    if (n == nullptr || !n->can_open)
        return fail(ENOENT);
    std::memset(buf, 0, sizeof *buf);
    buf->st_mode = n->kind == Node::Kind::Dir      ? S_IFDIR | 0755
                   : n->kind == Node::Kind::Device ? S_IFCHR | 0600
                                                   : S_IFREG | 0644;
    buf->st_nlink = 1;
    buf->st_dev = k_.wiring_.fs_device ? k_.wiring_.fs_device(full) : ROOT_FS_DEVICE;
    return 0;
}

int Kernel::Backend::mkdir(const char *path, mode_t mode) {
    std::string full = abs(path);
    ENTER("mkdir", full, std::nullopt);
    k_.trace("fs", "mkdir", {{"path", full}, {"mode", mode}});
    if (k_.vfs_.exists(full))
        return fail(EEXIST);
    std::string parent = full.substr(0, full.rfind('/'));
    Node *pn = k_.vfs_.lookup(parent.empty() ? "/" : parent);
    if (pn == nullptr)
        return fail(ENOENT);
    if (pn->kind != Node::Kind::Dir)
        return fail(ENOTDIR);
    k_.vfs_.add_dir(full);
    return 0;
}

int Kernel::Backend::access(const char *path, int) {
    std::string full = abs(path);
    ENTER("access", full, std::nullopt);
    Node *n = k_.vfs_.lookup(full);
    return (n != nullptr && n->can_open) ? 0 : fail(ENOENT);
}

int Kernel::Backend::remove(const char *path) {
    std::string full = abs(path);
    ENTER("remove", full, std::nullopt);
    int r = k_.vfs_.remove(full);
    k_.trace("fs", "remove", {{"path", full}, {"result", r}});
    return r < 0 ? fail(-r) : 0;
}

int Kernel::Backend::start_program(const std::vector<std::string> &argv) {
    if (argv.empty())
        return 0;
    auto it = k_.programs_.find(argv[0]);
    if (it == k_.programs_.end())
        return 127 << 8; // as the shell reports a command it cannot find
    return (it->second(argv) & 0xff) << 8;
}

int Kernel::Backend::system(const char *command) {
    ENTER("system", "", std::nullopt);
    if (command == nullptr)
        return 1;
    k_.trace("shell", "system", {{"command", command}});
    std::istringstream words(command);
    std::vector<std::string> argv;
    for (std::string w; words >> w;)
        argv.push_back(w);
    return start_program(argv);
}

int Kernel::Backend::run(const char *const argv[]) {
    ENTER("run", argv && argv[0] ? argv[0] : "", std::nullopt);
    std::vector<std::string> args;
    for (size_t i = 0; argv && argv[i]; ++i)
        args.emplace_back(argv[i]);
    k_.trace("shell", "run", {{"argv", args}});
    return start_program(args);
}

int Kernel::Backend::setuid(uid_t uid) {
    ENTER("setuid", "", std::nullopt);
    bool fails = k_.setuid_fails_;
    k_.trace("kernel", "setuid", {{"uid", uid}, {"result", fails ? -1 : 0}});
    return fails ? fail(EPERM) : 0;
}

int Kernel::Backend::uname(struct utsname *buf) {
    ENTER("uname", "", std::nullopt);
    std::memset(buf, 0, sizeof *buf);
    snprintf(buf->sysname, sizeof buf->sysname, "Linux");
    snprintf(buf->nodename, sizeof buf->nodename, "board");
    snprintf(buf->release, sizeof buf->release, "%s", k_.kernel_release_.c_str());
    snprintf(buf->version, sizeof buf->version, "#1 PREEMPT");
    snprintf(buf->machine, sizeof buf->machine, "armv7l");
    return 0;
}

int Kernel::Backend::socket(int domain, int type, int protocol) {
    ENTER("socket", "", std::nullopt);
    Device *dev = k_.vfs_.socket_device(domain, type);
    if (dev == nullptr)
        return fail(EAFNOSUPPORT);
    OpenFile of;
    of.path = "socket:" + std::to_string(domain) + ":" + std::to_string(type) + ":" +
              std::to_string(protocol);
    of.dev = dev;
    of.flags = O_RDWR;
    int rc = dev->open(of);
    if (rc < 0)
        return fail(-rc);
    return install_file(k_.current_process(), std::move(of), nullptr);
}

} // namespace sim
