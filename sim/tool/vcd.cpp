#include "sim/tool/vcd.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace sim {

namespace {

// A byte on a 9600-baud 8N1 line: ten bits.
constexpr Time kByteTime = 1041;

struct Signal {
    std::string name;
    int width;
    char id;
};

struct Change {
    Time t;
    size_t seq;
    int signal;
    uint64_t value;
};

class Dump {
  public:
    int add(const std::string &name, int width) {
        signals_.push_back({name, width, static_cast<char>('!' + signals_.size())});
        return static_cast<int>(signals_.size() - 1);
    }
    void set(Time t, int signal, uint64_t value) {
        changes_.push_back({t, changes_.size(), signal, value});
    }
    // A pulse that stays high while something is on the line; pulses that
    // overlap merge.
    void pulse(Time t, Time length, int signal) {
        Time &busy_until = busy_until_[signal];
        if (t < busy_until) {
            for (auto it = changes_.rbegin(); it != changes_.rend(); ++it)
                if (it->signal == signal && it->value == 0) {
                    it->t = std::max(it->t, t + length);
                    break;
                }
        } else {
            set(t, signal, 1);
            set(t + length, signal, 0);
        }
        busy_until = std::max(busy_until, t + length);
    }

    void write(std::ostream &out, Time end) {
        out << "$date simulated board run $end\n$version ftq-sim $end\n$timescale 1us $end\n";
        out << "$scope module board $end\n";
        for (const auto &s : signals_)
            out << "$var wire " << s.width << ' ' << s.id << ' ' << s.name << " $end\n";
        out << "$upscope $end\n$enddefinitions $end\n";
        std::stable_sort(changes_.begin(), changes_.end(), [](const Change &a, const Change &b) {
            return a.t != b.t ? a.t < b.t : a.seq < b.seq;
        });
        out << "#0\n$dumpvars\n";
        for (const auto &s : signals_)
            emit(out, s, 0);
        out << "$end\n";
        Time current = 0;
        for (const auto &c : changes_) {
            if (c.t != current) {
                out << '#' << c.t << '\n';
                current = c.t;
            }
            emit(out, signals_[c.signal], c.value);
        }
        if (end > current)
            out << '#' << end << '\n';
    }

  private:
    static void emit(std::ostream &out, const Signal &s, uint64_t value) {
        if (s.width == 1) {
            out << (value ? '1' : '0') << s.id << '\n';
            return;
        }
        std::string bits;
        for (int b = s.width - 1; b >= 0; --b)
            bits += ((value >> b) & 1) ? '1' : '0';
        size_t first = bits.find('1');
        out << 'b' << (first == std::string::npos ? "0" : bits.substr(first)) << ' ' << s.id
            << '\n';
    }

    std::vector<Signal> signals_;
    std::vector<Change> changes_;
    std::map<int, Time> busy_until_;
};

uint64_t number(const nlohmann::json &data, const char *key) {
    if (!data.is_object() || !data.contains(key) || !data[key].is_number())
        return 0;
    return data[key].is_number_unsigned() ? data[key].get<uint64_t>()
                                          : static_cast<uint64_t>(data[key].get<int64_t>());
}

size_t hex_bytes(const nlohmann::json &data) {
    if (!data.is_object() || !data.contains("bytes") || !data["bytes"].is_string())
        return 0;
    std::string s = data["bytes"].get<std::string>();
    return (s.size() + 1) / 3;
}

} // namespace

void write_vcd(const Kernel &kernel, const RunResult &result, std::ostream &out) {
    Dump d;
    int buzzer = d.add("buzzer", 1);
    int wd_armed = d.add("watchdog_armed", 1);
    int wd_value = d.add("watchdog_timeout", 8);
    int alarm_out = d.add("alarm_outputs", 32);
    int alarm_in = d.add("alarm_inputs", 32);
    int rs485_tx = d.add("rs485_tx", 1);
    int rs485_rx = d.add("rs485_rx", 1);
    int panel_tx = d.add("panel_tx", 1);
    int panel_rx = d.add("panel_rx", 1);
    int led_mode = d.add("led_mode", 8);
    int step = d.add("step", 8);
    int pmp_busy[2] = {d.add("pmp1_busy", 1), d.add("pmp2_busy", 1)};
    int pmp_reset[2] = {d.add("pmp1_reset", 1), d.add("pmp2_reset", 1)};

    for (const auto &e : kernel.trace().events()) {
        if (e.dev == "vexio") {
            if (e.ev == "buzzer_on")
                d.set(e.t, buzzer, 1);
            else if (e.ev == "buzzer_off")
                d.set(e.t, buzzer, 0);
            else if (e.ev == "watchdog_setup")
                d.set(e.t, wd_value, number(e.data, "value"));
            else if (e.ev == "watchdog_armed") {
                d.set(e.t, wd_value, number(e.data, "value"));
                d.set(e.t, wd_armed, 1);
            } else if (e.ev == "alarm_outputs")
                d.set(e.t, alarm_out, number(e.data, "mask"));
            else if (e.ev == "alarm_inputs" && e.data.contains("inputs") &&
                     e.data["inputs"].get<int64_t>() >= 0)
                d.set(e.t, alarm_in, number(e.data, "inputs"));
        } else if (e.dev == "rs485") {
            if (e.ev == "write" && number(e.data, "accepted") > 0)
                d.pulse(e.t, static_cast<Time>(number(e.data, "accepted")) * kByteTime, rs485_tx);
            else if (e.ev == "read" && number(e.data, "returned") > 0)
                d.pulse(e.t, static_cast<Time>(number(e.data, "returned")) * kByteTime, rs485_rx);
        } else if (e.dev == "panel") {
            if (e.ev == "led" || e.ev == "heartbeat" || e.ev == "frame")
                d.pulse(e.t, static_cast<Time>(std::max<size_t>(hex_bytes(e.data), 1)) * kByteTime,
                        panel_tx);
            else if (e.ev == "send")
                d.pulse(e.t, static_cast<Time>(std::max<size_t>(hex_bytes(e.data), 1)) * kByteTime,
                        panel_rx);
            else if (e.ev == "led_mode")
                d.set(e.t, led_mode, number(e.data, "value"));
        } else if (e.dev == "pmp") {
            size_t chip = number(e.data, "chip");
            if (chip < 1 || chip > 2)
                continue;
            if (e.ev == "reset")
                d.pulse(e.t, 1000, pmp_reset[chip - 1]);
            else if (e.ev == "busy")
                d.set(e.t, pmp_busy[chip - 1], e.data.value("busy", false) ? 1 : 0);
        }
    }
    for (const auto &w : kernel.console()) {
        std::string text = gb2312_to_utf8(w.bytes);
        for (int n = 1; n <= 7; ++n)
            if (text.rfind("\xE7\xAC\xAC" + std::to_string(n) + "\xE6\xAD\xA5:", 0) == 0)
                d.set(w.t, step, static_cast<uint64_t>(n));
        if (text.find("FTQ") != std::string::npos)
            d.set(w.t, step, 8);
    }
    d.write(out, result.finished_at);
}

} // namespace sim
