#include "sim/kernel/kernel.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/model.h"
#include "sim/kernel/process.h"
#include "sim/kernel/sim_backend.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sys/utsname.h>

namespace sim {

namespace {
thread_local Task *tls_task = nullptr;

bool event_later(const auto &a, const auto &b) {
    return a.when != b.when ? a.when > b.when : a.seq > b.seq;
}
} // namespace

int RunResult::shell_status() const {
    switch (end) {
    case End::Exited:
        return code;
    case End::Signalled:
        return 128 + code;
    default:
        return 124;
    }
}

std::string RunResult::describe() const {
    switch (end) {
    case End::Exited:
        return "exit status " + std::to_string(code);
    case End::Signalled:
        return std::string("killed by signal ") + std::to_string(code) + " (" +
               (strsignal(code) ? strsignal(code) : "?") + ")";
    case End::Stalled:
        return "stalled: every task waits for something that never comes";
    case End::Spinning:
        return "spinning: the program kept calling without ever waiting";
    case End::TimeLimit:
        return "stopped at the virtual time limit";
    }
    return "?";
}

Kernel::Kernel(const Scenario &scenario)
    : scenario_(scenario), faults_(std::make_unique<Faults>()) {
    Section sys = scenario_.section("system");
    sys.only({"start_time", "zone_offset", "time_limit", "spin_limit", "setuid_fails",
              "kernel_release"});
    // 2012-05-23 08:07:09 UTC, a date the board family shipped in.
    epoch_start_ = sys.integer("start_time", 1337760429, 0, INT32_MAX);
    zone_offset_ = static_cast<int>(sys.integer("zone_offset", 0, -14 * 3600, 14 * 3600));
    time_limit_ = sys.seconds_us("time_limit", 3600.0);
    // A program that makes this many calls without virtual time moving is
    // spinning: on a board it would hang the line.
    spin_limit_ = static_cast<uint64_t>(sys.integer("spin_limit", 5'000'000, 1000, INT64_MAX));
    setuid_fails_ = sys.flag("setuid_fails", false);
    kernel_release_ = sys.text("kernel_release", "2.6.37");
    if (kernel_release_.size() >= sizeof(utsname::release))
        sys.fail("kernel_release", "longer than the " +
                                       std::to_string(sizeof(utsname::release) - 1) +
                                       " characters uname reports");
    // Read by the tools that run the scenario rather than by the board, and
    // checked here with the rest so that no run starts on a bad one.
    scenario_.root().text("description", "");
    for (const Section &a : scenario_.root().list("args"))
        a.as_text();
    faults_->load(scenario_.section("faults"));
    backend_ = std::make_unique<Backend>(*this);
    vfs_.add_dir("/dev");
    vfs_.add_dir("/proc");
    vfs_.add_dir("/mnt");
    load_models();
    for (const Section &s : scenario_.root().list("signals")) {
        s.only({"at", "signal"});
        std::string name = s.choice("signal", "SIGINT", {"SIGINT", "SIGTERM", "SIGKILL"});
        int sig = name == "SIGINT" ? SIGINT : name == "SIGTERM" ? SIGTERM : SIGKILL;
        at(s.seconds_us("at", 0), [this, sig] { signal_all(sig); });
    }
}

Kernel::~Kernel() {
    for (auto &t : tasks_)
        if (t->thread.joinable())
            t->thread.join();
    if (sys::installed_backend() == backend_.get())
        sys::install(nullptr);
}

void Kernel::load_models() {
    // "description" and "args" are for the people and tools that run the
    // scenario, not for the board.
    std::vector<std::string> known = {"description", "args", "system", "faults", "signals"};
    for (const auto &entry : all_models()) {
        known.push_back(entry.section);
        models_.push_back(entry.make(*this, scenario_.section(entry.section)));
    }
    for (auto it = scenario_.doc().begin(); it != scenario_.doc().end(); ++it)
        if (std::find(known.begin(), known.end(), it.key()) == known.end())
            scenario_.root().fail(it.key().c_str(), "unknown section");
}

int64_t Kernel::epoch_at(Time t) const {
    return epoch_start_ + t / kSecond;
}

void Kernel::at(Time when, std::function<void()> fn) {
    events_.push_back({std::max(when, now_), event_seq_++, std::move(fn)});
    std::push_heap(events_.begin(), events_.end(),
                   [](const Event &a, const Event &b) { return event_later(a, b); });
}

void Kernel::trace(const std::string &dev, const std::string &ev, nlohmann::json data) {
    trace_.add(now_, dev, ev, std::move(data));
}

void Kernel::add_program(const std::string &name, Program program) {
    programs_[name] = std::move(program);
}

std::map<int, int> Kernel::process_statuses() const {
    std::map<int, int> out;
    for (const auto &p : processes_)
        out[p->pid] = p->ended ? p->status : -1;
    return out;
}

int Kernel::open_descriptors(int pid) const {
    for (const auto &p : processes_)
        if (p->pid == pid)
            return static_cast<int>(std::count_if(p->fds.begin(), p->fds.end(),
                                                  [](const auto &f) { return f != nullptr; }));
    return 0;
}

std::vector<std::string> Kernel::open_paths(int pid) const {
    std::vector<std::string> out;
    for (const auto &p : processes_)
        if (p->pid == pid)
            for (const auto &f : p->fds)
                if (f != nullptr)
                    out.push_back(f->of.path);
    return out;
}

std::string Kernel::console_text() const {
    std::string out;
    for (const auto &w : console_)
        out += w.bytes;
    return out;
}

void Kernel::record_console(int fd, const void *buf, size_t len) {
    Process *p = current_process();
    console_.push_back(
        {now_, p ? p->pid : 0, fd, std::string(static_cast<const char *>(buf), len)});
    if (console_sink_)
        console_sink_(console_.back());
}

Task *Kernel::current_task() {
    return tls_task;
}
Process *Kernel::current_process() {
    return tls_task ? tls_task->proc : nullptr;
}

Task *Kernel::new_task(Process *p, std::function<void()> body) {
    auto t = std::make_unique<Task>();
    t->id = static_cast<int>(tasks_.size());
    t->proc = p;
    t->body = std::move(body);
    Task *raw = t.get();
    p->tasks.push_back(raw);
    tasks_.push_back(std::move(t));
    raw->thread = std::thread([this, raw] { task_main(raw); });
    return raw;
}

void Kernel::task_main(Task *t) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        t->cv.wait(lock, [&] { return baton_ == t; });
        t->state = Task::State::Running;
    }
    tls_task = t;
    if (!t->killed) {
        try {
            t->body();
        } catch (const TaskKilled &) {
        }
    }
    finish_task(t);
}

void Kernel::finish_task(Task *t) {
    std::unique_lock<std::mutex> lock(mu_);
    t->state = Task::State::Done;
    switch_away(lock, t);
}

RunResult Kernel::run(const std::function<int(int, char **)> &entry,
                      const std::vector<std::string> &args) {
    sys::install(backend_.get());
    auto p = std::make_unique<Process>();
    p->pid = next_pid_++;
    for (auto &a : p->actions)
        a.sa_handler = SIG_DFL;
    Process *proc = p.get();
    processes_.push_back(std::move(p));
    backend_->open_console(proc);

    std::vector<std::string> argv_store = args;
    if (argv_store.empty())
        argv_store.push_back("ftq");
    std::vector<char *> argv;
    for (auto &a : argv_store)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::unique_lock<std::mutex> lock(mu_);
    new_task(proc, [&, proc] {
        int rc = entry(static_cast<int>(argv_store.size()), argv.data());
        end_process(proc, (rc & 0xff) << 8);
    });
    Task *first = pick_runnable();
    baton_ = first;
    first->cv.notify_one();
    done_cv_.wait(lock, [&] { return all_done_; });
    lock.unlock();
    for (auto &t : tasks_)
        if (t->thread.joinable())
            t->thread.join();

    RunResult r = result_;
    r.finished_at = now_;
    if (r.end == RunResult::End::Exited) {
        int st = processes_.front()->status;
        if (WIFSIGNALED(st)) {
            r.end = RunResult::End::Signalled;
            r.code = WTERMSIG(st);
        } else {
            r.code = WEXITSTATUS(st);
        }
    }
    return r;
}

Task *Kernel::pick_runnable() {
    for (auto &t : tasks_)
        if (t->killed && (t->state == Task::State::Blocked || t->state == Task::State::Created))
            return t.get();
    for (auto &t : tasks_) {
        if (t->state == Task::State::Created)
            return t.get();
        if (t->state != Task::State::Blocked)
            continue;
        Process *p = t->proc;
        uint64_t deliverable = t->pending & ~t->blocked_sigs;
        if (!p->tasks.empty() && p->tasks.front() == t.get())
            deliverable |= p->pending & ~t->blocked_sigs;
        if (t->interruptible && deliverable != 0) {
            t->wake = static_cast<int>(Wake::Signal);
            return t.get();
        }
        if (t->ready && t->ready()) {
            t->wake = static_cast<int>(Wake::Ready);
            return t.get();
        }
        if (t->deadline <= now_) {
            t->wake = static_cast<int>(Wake::Timeout);
            return t.get();
        }
    }
    return nullptr;
}

void Kernel::run_events_due() {
    auto later = [](const Event &a, const Event &b) { return event_later(a, b); };
    while (!events_.empty() && events_.front().when <= now_) {
        std::pop_heap(events_.begin(), events_.end(), later);
        Event e = std::move(events_.back());
        events_.pop_back();
        e.fn();
    }
}

bool Kernel::advance_time() {
    Time next = kForever;
    if (!events_.empty())
        next = events_.front().when;
    for (auto &t : tasks_)
        if (t->state == Task::State::Blocked && !t->killed)
            next = std::min(next, t->deadline);
    if (pacer_ && !ending_) {
        Time moved = std::min(pacer_(next), std::min(next, time_limit_ + 1));
        if (moved < next) {
            now_ = std::max(now_, moved);
            run_events_due();
            return true;
        }
    }
    if (next == kForever) {
        end_everything(RunResult::End::Stalled);
        return false;
    }
    if (next > time_limit_) {
        end_everything(RunResult::End::TimeLimit);
        return false;
    }
    now_ = std::max(now_, next);
    run_events_due();
    return true;
}

void Kernel::switch_away(std::unique_lock<std::mutex> &lock, Task *self) {
    for (;;) {
        bool any_alive = std::any_of(tasks_.begin(), tasks_.end(),
                                     [](const auto &t) { return t->state != Task::State::Done; });
        if (!any_alive) {
            all_done_ = true;
            baton_ = nullptr;
            done_cv_.notify_all();
            return;
        }
        Task *next = pick_runnable();
        if (next == nullptr) {
            advance_time();
            continue;
        }
        baton_ = next;
        if (next == self)
            return;
        next->cv.notify_one();
        if (self->state == Task::State::Done)
            return;
        self->cv.wait(lock, [&] { return baton_ == self; });
        return;
    }
}

Kernel::Wake Kernel::block(const std::function<bool()> &ready, Time deadline, bool interruptible) {
    Task *self = current_task();
    std::unique_lock<std::mutex> lock(mu_);
    blocking_points_.push_back({now_, self->proc->pid, self->id});
    if (signal_point_ && blocking_points_.size() == *signal_point_ + 1)
        signal_all(signal_point_sig_);
    self->ready = ready;
    self->deadline = deadline;
    self->interruptible = interruptible;
    self->state = Task::State::Blocked;
    switch_away(lock, self);
    self->state = Task::State::Running;
    self->ready = nullptr;
    calls_this_instant_ = 0;
    bool killed = self->killed;
    Wake w = static_cast<Wake>(self->wake);
    lock.unlock();
    if (killed)
        throw TaskKilled{};
    return w;
}

void Kernel::busy(Time d) {
    if (d > 0)
        block(nullptr, now_ + d, false);
}

void Kernel::end_process(Process *p, int wait_status) {
    if (p->ended)
        return;
    p->ended = true;
    p->status = wait_status;
    trace("kernel", "process_end",
          {{"pid", p->pid},
           {"exit", WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1},
           {"signal", WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0}});
    // Closing runs device close hooks, which may trace; keep the order
    // stable by closing descriptors from the lowest up.
    for (auto &f : p->fds)
        f.reset();
    for (Task *t : p->tasks)
        if (t->state != Task::State::Done)
            t->killed = true;
}

void Kernel::end_everything(RunResult::End why) {
    ending_ = true;
    if (result_.end == RunResult::End::Exited)
        result_.end = why;
    trace("kernel", "run_end", {{"why", RunResult{why}.describe()}});
    for (auto &p : processes_)
        if (!p->ended)
            end_process(p.get(), SIGKILL);
}

void Kernel::signal_all(int sig) {
    trace("kernel", "signal_sent", {{"signal", sig}});
    for (auto &p : processes_)
        if (!p->ended)
            p->pending |= sigbit(sig);
}

void Kernel::check_spin() {
    if (now_ != spin_instant_) {
        spin_instant_ = now_;
        calls_this_instant_ = 0;
    }
    if (++calls_this_instant_ > spin_limit_) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            end_everything(RunResult::End::Spinning);
        }
        throw TaskKilled{};
    }
}

void Kernel::pass_call_point(const char *call, bool returning) {
    Task *self = current_task();
    if (record_call_points_)
        call_points_.push_back({now_, self->proc->pid, self->id, call, returning, console_.size()});
    if (signal_call_point_ && call_points_passed_ == *signal_call_point_) {
        std::lock_guard<std::mutex> g(mu_);
        signal_all(signal_point_sig_);
    }
    ++call_points_passed_;
    deliver_signals();
}

void Kernel::deliver_signals() {
    Task *self = current_task();
    Process *p = self->proc;
    for (;;) {
        if (self->killed)
            throw TaskKilled{};
        uint64_t avail = self->pending & ~self->blocked_sigs;
        bool main_task = !p->tasks.empty() && p->tasks.front() == self;
        if (main_task)
            avail |= p->pending & ~self->blocked_sigs;
        if (avail == 0)
            return;
        int sig = __builtin_ctzll(avail);
        self->pending &= ~sigbit(sig);
        p->pending &= ~sigbit(sig);
        struct sigaction act = p->actions[sig];
        bool dfl = act.sa_handler == SIG_DFL;
        bool ign = act.sa_handler == SIG_IGN;
        trace("kernel", "signal",
              {{"pid", p->pid},
               {"signal", sig},
               {"action", dfl   ? "default"
                          : ign ? "ignore"
                                : "handler"}});
        if (ign || (dfl && (sig == SIGCHLD || sig == SIGWINCH || sig == SIGURG)))
            continue;
        if (dfl) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                end_process(p, sig);
            }
            throw TaskKilled{};
        }
        uint64_t saved = self->blocked_sigs;
        if (!(act.sa_flags & SA_NODEFER))
            self->blocked_sigs |= sigbit(sig);
        for (int s = 1; s < NSIG && s < 64; ++s)
            if (sigismember(&act.sa_mask, s) == 1)
                self->blocked_sigs |= sigbit(s);
        if (act.sa_flags & SA_RESETHAND)
            p->actions[sig].sa_handler = SIG_DFL;
        act.sa_handler(sig);
        self->blocked_sigs = saved;
    }
}

} // namespace sim
