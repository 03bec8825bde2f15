// The simulated board's kernel: virtual time, tasks and processes, the file
// system that device models hang their nodes in, fault rules and the trace.
//
// One task runs at a time. A task gives up the processor only inside a
// blocking call; when nothing can run, virtual time jumps to the next event
// or time-out. The same scenario therefore always gives the same bytes in
// the same order, and no run waits for real time.
#pragma once

#include "sim/kernel/device.h"
#include "sim/kernel/host.h"
#include "sim/kernel/scenario.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/vfs.h"
#include "sim/kernel/wiring.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Faults;
class Model;
struct Process;
struct Task;

// How a run of the program ended.
struct RunResult {
    enum class End { Exited, Signalled, Stalled, Spinning, TimeLimit };
    End end = End::Exited;
    int code = 0; // exit status, or signal number when Signalled
    Time finished_at = 0;
    // The status a shell would report: the exit status, or 128 + signal.
    int shell_status() const;
    std::string describe() const;
};

// A program a shell command or an argument vector can name.
using Program = std::function<int(const std::vector<std::string> &argv)>;

class Kernel : public Host {
  public:
    explicit Kernel(const Scenario &scenario);
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    // Runs entry(argc, argv) as process 1 on this board until every process
    // has ended (or the run stalls or exceeds its virtual time limit).
    RunResult run(const std::function<int(int, char **)> &entry,
                  const std::vector<std::string> &args);

    // Virtual time.
    Time now() const override { return now_; }
    // Seconds since the epoch that the system clock shows at time t.
    int64_t epoch_at(Time t) const;

    // Device events: fn runs at virtual time `when`, between tasks.
    void at(Time when, std::function<void()> fn) override;
    void after(Time delay, std::function<void()> fn) { at(now_ + delay, std::move(fn)); }

    // The calling task stays blocked for d of virtual time, as a device
    // that takes that long to answer. Not interruptible.
    void busy(Time d);

    // Paces virtual time to the outside world (a person at a terminal).
    // Before time moves on to `next` (kForeverTime when nothing is due), the
    // pacer is asked where to move to: it may wait in real time, schedule
    // events at the time it returns, and return any time up to `next`.
    static constexpr Time kForeverTime = INT64_MAX;
    void set_pacer(std::function<Time(Time next)> pacer) { pacer_ = std::move(pacer); }

    // Sends a signal to every live process, as the console's Ctrl-C does.
    void signal_all(int sig);

    Vfs &vfs() { return vfs_; }
    Wiring &wiring() override { return wiring_; }
    Trace &trace() { return trace_; }
    const Trace &trace() const { return trace_; }
    void trace(const std::string &dev, const std::string &ev, nlohmann::json data = {}) override;
    const Scenario &scenario() const override { return scenario_; }
    void add_device(const std::string &path, Device *dev) override { vfs_.add_device(path, dev); }

    // Programs that system() and run() can start, registered by models.
    void add_program(const std::string &name, Program program);

    // Models, for the rare model that needs another one's state.
    template <class M> M *model() {
        for (auto &m : models_)
            if (auto *p = dynamic_cast<M *>(m.get()))
                return p;
        return nullptr;
    }

    // The pid of every process that has run, with its wait status (-1 while
    // it runs).
    std::map<int, int> process_statuses() const;
    // Where tasks waited: every blocking call, when it began and in which
    // process, in order (for sweeps that interrupt each one).
    struct BlockingPoint {
        Time t;
        int pid;
        int task;
    };
    const std::vector<BlockingPoint> &blocking_points() const { return blocking_points_; }

    // Descriptors open in process 1 now (directory streams among them), and
    // the path each was opened with, by descriptor number.
    int open_descriptors(int pid = 1) const;
    std::vector<std::string> open_paths(int pid = 1) const;

    // Every call that fault rules see, in the order they see it, once
    // record_calls(true) is set (for sweeps that fail each call in turn).
    struct CallRecord {
        Time t;
        int pid;
        int task;
        std::string call;
        std::string path;
        std::optional<unsigned long> request;
        size_t console_writes; // console writes made before this call
        bool faulted;          // a fault rule fired on it
    };
    void record_calls(bool on) { record_calls_ = on; }
    const std::vector<CallRecord> &calls() const { return calls_; }

    // Sends sig to every live process as the task reaches the blocking
    // point of that index (counted as blocking_points() counts them), as if
    // Ctrl-C were pressed at the moment it starts to wait there.
    void signal_at_blocking_point(size_t index, int sig) {
        signal_point_ = index;
        signal_point_sig_ = sig;
    }

    // The two moments at which a call meets a signal: as it starts (one
    // already pending), and as it returns to the program, which is where
    // Linux delivers one that came while the call ran. Every call the
    // program makes into the kernel passes both, in order; call_points()
    // lists them once record_call_points(true) is set.
    struct CallPoint {
        Time t;
        int pid;
        int task;
        const char *call;
        bool returning;
        size_t console_writes; // console writes made before this point
    };
    void record_call_points(bool on) { record_call_points_ = on; }
    const std::vector<CallPoint> &call_points() const { return call_points_; }
    size_t call_points_passed() const { return call_points_passed_; }
    // Sends sig to every live process as the run passes the call point of
    // that index (counted as call_points() counts them).
    void signal_at_call_point(size_t index, int sig) {
        signal_call_point_ = index;
        signal_point_sig_ = sig;
    }

    // What the program wrote to its console, in order.
    struct ConsoleWrite {
        Time t;
        int pid;
        int fd;
        std::string bytes;
    };
    const std::vector<ConsoleWrite> &console() const { return console_; }
    std::string console_text() const; // all bytes written to fd 1 and 2
    void on_console_write(std::function<void(const ConsoleWrite &)> sink) {
        console_sink_ = std::move(sink);
    }
    void record_console(int fd, const void *buf, size_t len);

    // Internal to the kernel and its backend.
    class Backend;
    friend class Backend;

  private:
    friend struct Task;
    enum class Wake { Ready, Timeout, Signal };

    Wake block(const std::function<bool()> &ready, Time deadline, bool interruptible);
    void switch_away(std::unique_lock<std::mutex> &lock, Task *self);
    Task *pick_runnable();
    bool advance_time();
    void run_events_due();
    void end_process(Process *p, int wait_status);
    void end_everything(RunResult::End why);
    void deliver_signals();                                 // on the current task, outside the lock
    void pass_call_point(const char *call, bool returning); // then delivers
    void check_spin();
    Process *current_process();
    Task *current_task();
    Task *new_task(Process *p, std::function<void()> body);
    void task_main(Task *t);
    void finish_task(Task *t);
    void load_models();

    const Scenario &scenario_;
    Vfs vfs_;
    Wiring wiring_;
    Trace trace_;
    std::unique_ptr<Faults> faults_;
    std::vector<std::unique_ptr<Model>> models_;
    std::map<std::string, Program> programs_;

    mutable std::mutex mu_;
    std::condition_variable done_cv_;
    Time now_ = 0;
    Time time_limit_;
    uint64_t spin_limit_;
    bool setuid_fails_ = false;
    std::string kernel_release_;
    int64_t epoch_start_;
    int zone_offset_;
    struct Event {
        Time when;
        uint64_t seq;
        std::function<void()> fn;
    };
    std::vector<Event> events_; // kept as a heap on (when, seq)
    uint64_t event_seq_ = 0;
    std::vector<std::unique_ptr<Process>> processes_;
    std::vector<std::unique_ptr<Task>> tasks_;
    Task *baton_ = nullptr;
    bool all_done_ = false;
    RunResult result_;
    bool ending_ = false;
    uint64_t calls_this_instant_ = 0;
    Time spin_instant_ = -1;
    int next_pid_ = 1;

    std::vector<ConsoleWrite> console_;
    std::function<void(const ConsoleWrite &)> console_sink_;
    std::function<Time(Time)> pacer_;
    std::vector<BlockingPoint> blocking_points_;
    bool record_calls_ = false;
    std::vector<CallRecord> calls_;
    bool record_call_points_ = false;
    std::vector<CallPoint> call_points_;
    size_t call_points_passed_ = 0;
    std::optional<size_t> signal_call_point_;
    std::optional<size_t> signal_point_;
    int signal_point_sig_ = 0;
    std::unique_ptr<Backend> backend_;
};

} // namespace sim
