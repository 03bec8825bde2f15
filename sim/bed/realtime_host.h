// What the kernel test bed's peers share as the models' carrier: real time
// from the peer's start, events on a timer list run by the peer's own loop,
// and the devices the models register. Each peer writes its records its
// own way (trace()).
#pragma once

#include "sim/kernel/host.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace bed {

class RealTimeHost : public sim::Host {
  public:
    explicit RealTimeHost(sim::Scenario scenario)
        : scenario_(std::move(scenario)), start_(std::chrono::steady_clock::now()) {}

    sim::Time now() const override {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }
    void at(sim::Time when, std::function<void()> fn) override {
        timers_.emplace(when, std::move(fn));
    }
    sim::Wiring &wiring() override { return wiring_; }
    const sim::Scenario &scenario() const override { return scenario_; }
    void add_device(const std::string &path, sim::Device *dev) override { devices_[path] = dev; }
    sim::Device *device(const std::string &path) const {
        auto it = devices_.find(path);
        return it == devices_.end() ? nullptr : it->second;
    }

    // Runs the events that are due; the milliseconds to the next one, or -1.
    int run_due() {
        while (!timers_.empty() && timers_.begin()->first <= now()) {
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            fn();
        }
        if (timers_.empty())
            return -1;
        return static_cast<int>(std::max<sim::Time>(0, timers_.begin()->first - now()) / 1000 + 1);
    }

  private:
    sim::Scenario scenario_;
    std::chrono::steady_clock::time_point start_;
    std::multimap<sim::Time, std::function<void()>> timers_;
    sim::Wiring wiring_;
    std::map<std::string, sim::Device *> devices_;
};

} // namespace bed
