// Small readers over a simulated run, shared by the serial-area tests.
#pragma once

#include "simrun.h"

#include <string>

namespace serialqa {

inline size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Virtual time of the first console write that contains `what`, or -1.
inline sim::Time written_at(const qa::SimRun &r, const std::string &what) {
    for (const auto &w : r.kernel->console())
        if (w.bytes.find(what) != std::string::npos)
            return w.t;
    return -1;
}

// The one console write that contains `what` (empty when there is none).
inline std::string write_containing(const qa::SimRun &r, const std::string &what) {
    for (const auto &w : r.kernel->console())
        if (w.bytes.find(what) != std::string::npos)
            return w.bytes;
    return {};
}

inline sim::Time first_event_at(const qa::SimRun &r, const std::string &dev,
                                const std::string &ev) {
    auto events = r.events(dev, ev);
    return events.empty() ? -1 : events.front().t;
}

inline size_t beeps(const qa::SimRun &r) {
    return r.events("vexio", "buzzer_on").size();
}

// The wait status of a process of the run (-1 while it ran on).
inline int status_of(const qa::SimRun &r, int pid) {
    auto all = r.kernel->process_statuses();
    auto it = all.find(pid);
    return it == all.end() ? -2 : it->second;
}

} // namespace serialqa
