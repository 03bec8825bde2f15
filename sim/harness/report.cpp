#include "sim/harness/report.h"

#include "sim/harness/harness.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace sim {

namespace {

std::string seconds(Time t) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(t) / kSecond);
    return buf;
}

} // namespace

// Where the run's time went: the set-up, each numbered step of the whole
// run (found by its heading), and what follows the last step.
std::string step_table(const Kernel &k, const RunResult &r) {
    static const char *const names[] = {"front panel keys and LEDs",
                                        "network links",
                                        "alarm I/O",
                                        "real-time clock",
                                        "USB ports",
                                        "SATA disks",
                                        "RS-485"};
    struct Step {
        std::string name;
        Time start;
    };
    std::vector<Step> steps = {{"set-up", 0}};
    for (const auto &w : k.console()) {
        std::string text = gb2312_to_utf8(w.bytes);
        for (int n = 1; n <= 7; ++n) {
            std::string heading = "\xE7\xAC\xAC" + std::to_string(n) + "\xE6\xAD\xA5:"; // "第n步:"
            if (text.rfind(heading, 0) == 0)
                steps.push_back({std::to_string(n) + " " + names[n - 1], w.t});
        }
        // After the seventh step: the board information report, then the
        // summary with its verdict and the restart.
        if (steps.size() == 8 && text.rfind("CPLD", 0) == 0)
            steps.push_back({"board information report", w.t});
        if (steps.size() >= 8 && steps.size() <= 9 && text.find("FTQ") != std::string::npos)
            steps.push_back({"summary and end", w.t});
    }
    if (steps.size() < 2)
        return "";
    std::ostringstream out;
    out << "---- the run's steps (virtual time) ----\n";
    char line[96];
    for (size_t i = 0; i < steps.size(); ++i) {
        Time end = i + 1 < steps.size() ? steps[i + 1].start : r.finished_at;
        snprintf(line, sizeof line, "%-28s start %8.3f s   took %7.3f s\n", steps[i].name.c_str(),
                 static_cast<double>(steps[i].start) / kSecond,
                 static_cast<double>(end - steps[i].start) / kSecond);
        out << line;
    }
    return out.str();
}

std::string board_report(const Kernel &k, const RunResult &r) {
    std::ostringstream out;
    const Trace &t = k.trace();
    out << "---- what the board did (virtual time " << seconds(r.finished_at) << ") ----\n";
    auto tones = t.of("vexio", "buzzer_off");
    out << "buzzer tones: " << tones.size();
    if (!tones.empty()) {
        out << " (";
        for (size_t i = 0; i < tones.size(); ++i)
            out << (i ? ", " : "") << tones[i].data["ms"].get<int64_t>() << " ms";
        out << ")";
    }
    out << "\n";
    auto ons = t.of("vexio", "buzzer_on");
    if (ons.size() > tones.size())
        out << "buzzer left on (since " << seconds(ons.back().t) << ")\n";
    for (const auto &e : t.of("vexio", "watchdog_armed"))
        out << "watchdog armed (value " << e.data["value"] << ") at " << seconds(e.t) << "\n";
    for (const auto &e : t.of("vexio", "pmp_reset"))
        out << "port-multiplier reset, mask 0x" << std::hex << e.data["mask"].get<uint64_t>()
            << std::dec << ", at " << seconds(e.t) << "\n";
    for (const auto &e : t.of("fs", "remove"))
        out << "file removed: " << e.data["path"].get<std::string>()
            << (e.data["result"].get<int>() == 0 ? "" : " (failed)") << "\n";
    for (const auto &e : t.of("proc", "kill"))
        out << "process killed: " << e.data["pid"].get<std::string>() << "\n";
    out << "ftq ended: " << r.describe() << "\n";
    return out.str();
}

std::string transcript(const Kernel &k) {
    std::string out;
    for (const auto &w : k.console())
        out += gb2312_to_utf8(w.bytes);
    return out;
}

} // namespace sim
