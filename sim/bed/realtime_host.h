// What the kernel test bed's peers share as the models' carrier: real time
// from the peer's start, events on a timer list run by the peer's own loop,
// and the devices the models register. Each peer writes its records its
// own way (trace()).
#pragma once

#include "sim/kernel/host.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <string>

namespace bed {

class RealTimeHost : public sim::Host {
  public:
    explicit RealTimeHost(sim::Scenario scenario)
        : scenario_(std::move(scenario)), start_(monotonic_us()) {}

    sim::Time now() const override { return monotonic_us() - start_; }
    void at(sim::Time when, std::function<void()> fn) override {
        timers_.emplace(when, Timer{std::move(fn), marking_});
    }
    // Events set while marking is on can later be moved together
    // (shift_marked): a peer whose script is timed from a moment it could
    // only guess moves the script once it learns the moment better.
    void mark(bool on) { marking_ = on; }
    void shift_marked(sim::Time by) {
        std::multimap<sim::Time, Timer> moved;
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->second.marked) {
                moved.emplace(it->first + by, std::move(it->second));
                it = timers_.erase(it);
            } else {
                ++it;
            }
        }
        timers_.merge(moved);
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
            auto fn = std::move(timers_.begin()->second.fn);
            timers_.erase(timers_.begin());
            fn();
        }
        if (timers_.empty())
            return -1;
        return static_cast<int>(std::max<sim::Time>(0, timers_.begin()->first - now()) / 1000 + 1);
    }

  private:
    // Not <chrono>: the tests build this header with the board's console
    // charset, which cannot encode <chrono>'s microsecond suffix.
    static sim::Time monotonic_us() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<sim::Time>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
    struct Timer {
        std::function<void()> fn;
        bool marked;
    };
    sim::Scenario scenario_;
    sim::Time start_;
    std::multimap<sim::Time, Timer> timers_;
    bool marking_ = false;
    sim::Wiring wiring_;
    std::map<std::string, sim::Device *> devices_;
};

} // namespace bed
