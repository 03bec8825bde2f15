#include "sim/kernel/trace.h"

namespace sim {

void Trace::add(Time t, std::string dev, std::string ev, nlohmann::json data) {
    events_.push_back({t, std::move(dev), std::move(ev), std::move(data)});
    for (const auto &[handle, sink] : sinks_)
        sink(events_.back());
}

int Trace::listen(std::function<void(const TraceEvent &)> sink) {
    sinks_.emplace_back(next_handle_, std::move(sink));
    return next_handle_++;
}

void Trace::stop_listening(int handle) {
    std::erase_if(sinks_, [handle](const auto &s) { return s.first == handle; });
}

std::vector<TraceEvent> Trace::of(const std::string &dev, const std::string &ev) const {
    std::vector<TraceEvent> out;
    for (const auto &e : events_)
        if (e.dev == dev && (ev.empty() || e.ev == ev))
            out.push_back(e);
    return out;
}

size_t Trace::count(const std::string &dev, const std::string &ev) const {
    size_t n = 0;
    for (const auto &e : events_)
        n += (e.dev == dev && (ev.empty() || e.ev == ev)) ? 1 : 0;
    return n;
}

void Trace::write_jsonl(std::ostream &out) const {
    for (const auto &e : events_) {
        nlohmann::json line = {{"t_us", e.t}, {"dev", e.dev}, {"ev", e.ev}};
        if (!e.data.is_null())
            line["data"] = e.data;
        out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
}

} // namespace sim
