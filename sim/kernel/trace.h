// What the device models were asked, with virtual timestamps.
#pragma once

#include "sim/kernel/device.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct TraceEvent {
    Time t;
    std::string dev;
    std::string ev;
    nlohmann::json data;
};

class Trace {
  public:
    void add(Time t, std::string dev, std::string ev, nlohmann::json data);
    const std::vector<TraceEvent> &events() const { return events_; }
    // Events of one device, and optionally of one kind.
    std::vector<TraceEvent> of(const std::string &dev, const std::string &ev = "") const;
    size_t count(const std::string &dev, const std::string &ev = "") const;
    // One JSON object per line.
    void write_jsonl(std::ostream &out) const;
    // Calls sink with each event as it is recorded, until stop_listening
    // is given the handle this returns.
    int listen(std::function<void(const TraceEvent &)> sink);
    void stop_listening(int handle);

  private:
    std::vector<TraceEvent> events_;
    std::vector<std::pair<int, std::function<void(const TraceEvent &)>>> sinks_;
    int next_handle_ = 1;
};

} // namespace sim
