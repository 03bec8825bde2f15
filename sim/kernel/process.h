// Processes and tasks of the simulated board (internal to the kernel).
#pragma once

#include "platform/backend.h"
#include "sim/kernel/kernel.h"

#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace sim {

// Thrown inside a blocked task whose process has ended, to unwind it.
struct TaskKilled {};

// An open file description and what releases it.
struct FileRef {
    OpenFile of;
    std::unique_ptr<Device> owned; // per-open device of a plain file
    ~FileRef() {
        if (of.dev != nullptr)
            of.dev->close(of);
    }
};

struct Process {
    int pid = 0;
    int parent = 0;
    std::vector<std::shared_ptr<FileRef>> fds;
    struct sigaction actions[NSIG] = {};
    uint64_t pending = 0; // sent to the process
    bool ended = false;
    bool reaped = false;
    int status = -1; // wait status once ended
    std::string cwd = "/";
    std::vector<Task *> tasks;
};

struct Task {
    enum class State { Created, Running, Blocked, Done };
    int id = 0;
    Process *proc = nullptr;
    std::thread thread;
    std::condition_variable cv;
    State state = State::Created;
    std::function<bool()> ready;
    Time deadline = 0;
    bool interruptible = false;
    int wake = 0; // Kernel::Wake
    bool killed = false;
    uint64_t blocked_sigs = 0;
    uint64_t pending = 0; // raised by this task
    std::function<void()> body;
};

constexpr Time kForever = INT64_MAX;

inline uint64_t sigbit(int sig) {
    return uint64_t{1} << sig;
}

} // namespace sim
