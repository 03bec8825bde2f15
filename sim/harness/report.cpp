#include "sim/harness/report.h"

#include "sim/harness/harness.h"
#include "sim/harness/session.h"

#include <fcntl.h>
#include <termios.h>

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

namespace {

std::string text_of(const nlohmann::json &v) {
    return v.is_string() ? v.get<std::string>() : v.dump();
}

struct PortSettings {
    int64_t speed = 0;
    bool in_speed_matches = true;
    bool cs8 = true;
    bool parity = false;
    bool two_stop_bits = false;
    bool clocal_cread = true;
    bool raw = true;
    bool now = true;
};

// "9600 baud, 8N1, raw", with whatever differs from that named.
std::string describe(const PortSettings &p) {
    std::string out = std::to_string(p.speed) + " baud";
    if (!p.in_speed_matches)
        out += " out, another speed in";
    out += std::string(", ") + (p.cs8 ? "8" : "not 8 data bits ") + (p.parity ? "E" : "N") +
           (p.two_stop_bits ? "2" : "1");
    out += p.raw ? ", raw" : ", not raw";
    if (!p.clocal_cread)
        out += ", receiver off or modem lines on";
    if (!p.now)
        out += ", not applied at once";
    return out;
}

std::string open_flags(bool rdwr, bool noctty, bool nonblock) {
    std::string out = rdwr ? "O_RDWR" : "not O_RDWR";
    if (noctty)
        out += "|O_NOCTTY";
    if (nonblock)
        out += "|O_NONBLOCK";
    return out;
}

// The panel port's settings from the flags the program applied.
PortSettings panel_settings(const nlohmann::json &d) {
    auto flag = [&d](const char *key) { return d.value(key, uint64_t{0}); };
    PortSettings p;
    p.speed = d.value("ospeed", int64_t{0});
    p.in_speed_matches = d.value("ispeed", int64_t{0}) == p.speed;
    uint64_t c = flag("cflag");
    p.cs8 = (c & CSIZE) == CS8;
    p.parity = (c & PARENB) != 0;
    p.two_stop_bits = (c & CSTOPB) != 0;
    p.clocal_cread = (c & (CLOCAL | CREAD)) == (CLOCAL | CREAD);
    p.raw = (flag("lflag") & (ICANON | ECHO | ECHOE | ISIG)) == 0 &&
            (flag("iflag") & (INLCR | IGNCR | ICRNL | IXON | IXOFF)) == 0 &&
            (flag("oflag") & OPOST) == 0;
    p.now = d.value("action", "") == "TCSANOW";
    return p;
}

// The settings a port took last: its last tcsetattr that succeeded.
const TraceEvent *last_accepted(const std::vector<TraceEvent> &sets) {
    const TraceEvent *set = nullptr;
    for (const auto &e : sets)
        if (e.data.value("result", -1) == 0)
            set = &e;
    return set;
}

void panel_link(std::ostringstream &out, const Trace &t) {
    auto opens = t.of("panel", "open");
    if (opens.empty()) {
        out << "panel link: never opened\n";
        return;
    }
    const auto &o = opens.front();
    out << "panel link /dev/ttyS2: opened "
        << open_flags((o.data.value("flags", 0) & O_ACCMODE) == O_RDWR,
                      o.data.value("noctty", false), o.data.value("nonblock", false))
        << " at " << seconds(o.t);
    auto sets = t.of("panel", "tcsetattr");
    const TraceEvent *set = last_accepted(sets);
    out << (set ? "; " + describe(panel_settings(set->data)) : std::string("; never set up"))
        << "\n";

    auto modes = t.of("panel", "led_mode");
    out << "panel LED modes:" << (modes.empty() ? " none" : "") << "\n";
    char line[128];
    for (const auto &e : modes) {
        Time start = e.data.value("start", Time{0});
        snprintf(line, sizeof line, "  at %8.3f s  %-21s %2d frames over %.3f s\n",
                 static_cast<double>(start) / kSecond, e.data.value("mode", "").c_str(),
                 e.data.value("frames", 0),
                 static_cast<double>(e.data.value("last", start) - start) / kSecond);
        out << line;
    }

    auto beats = t.of("panel", "heartbeat");
    out << "panel heartbeats: ";
    if (beats.empty()) {
        out << "none\n";
    } else if (beats.size() == 1) {
        out << "1, at " << seconds(beats[0].t) << "\n";
    } else {
        Time every = beats[1].t - beats[0].t;
        bool steady = true;
        for (size_t i = 1; i < beats.size(); ++i)
            steady = steady && beats[i].t - beats[i - 1].t == every;
        out << beats.size() << ", the first at " << seconds(beats[0].t);
        if (steady) {
            out << ", then every " << seconds(every);
        } else {
            out << ", then at";
            for (size_t i = 1; i < beats.size(); ++i)
                out << (i > 1 ? "," : "") << " " << seconds(beats[i].t);
        }
        out << "\n";
    }

    // Anything on the link that is not a whole, well-formed frame of a
    // known sequence.
    for (const auto &e : t.events()) {
        if (e.dev != "panel")
            continue;
        std::string bytes = e.data.contains("bytes") ? text_of(e.data["bytes"]) : "";
        if ((e.ev == "led" || e.ev == "heartbeat") && !e.data.value("whole_write", true))
            out << "panel: frame " << bytes << " not written in one piece, at " << seconds(e.t)
                << "\n";
        else if (e.ev == "led_stray")
            out << "panel: LED frame " << bytes << " in no sequence (" << e.data.value("why", "")
                << "), at " << seconds(e.t) << "\n";
        else if (e.ev == "led_incomplete")
            out << "panel: LED sequence left unfinished (" << text_of(e.data["frames"])
                << "), from " << seconds(e.data.value("start", Time{0})) << "\n";
        else if (e.ev == "garbage")
            out << "panel: bytes outside any frame " << bytes << ", at " << seconds(e.t) << "\n";
        else if (e.ev == "bad_checksum")
            out << "panel: bad checksum in " << bytes << ", at " << seconds(e.t) << "\n";
        else if (e.ev == "frame")
            out << "panel: unexpected frame " << bytes << ", at " << seconds(e.t) << "\n";
    }
}

void rs485_port(std::ostringstream &out, const Trace &t) {
    auto opens = t.of("rs485", "open");
    if (opens.empty())
        return;
    const auto &o = opens.front();
    out << "RS-485 port /dev/ttyS1: opened "
        << open_flags(o.data.value("rdwr", false), o.data.value("noctty", false),
                      o.data.value("nonblock", false))
        << " at " << seconds(o.t);
    auto sets = t.of("rs485", "tcsetattr");
    const TraceEvent *set = last_accepted(sets);
    if (set == nullptr) {
        out << "; never set up\n";
        return;
    }
    PortSettings p;
    p.speed = set->data.value("speed", int64_t{0});
    p.in_speed_matches = set->data.value("in_speed_matches", false);
    p.cs8 = set->data.value("cs8", false);
    p.parity = set->data.value("parity", false);
    p.two_stop_bits = set->data.value("two_stop_bits", false);
    p.clocal_cread = set->data.value("clocal_cread", false);
    p.raw = set->data.value("raw", false);
    p.now = set->data.value("now", false);
    out << "; " << describe(p) << "\n";
}

} // namespace

std::string board_report(const Session &s) {
    const Kernel &k = *s.kernel;
    const RunResult &r = s.result;
    std::ostringstream out;
    const Trace &t = k.trace();
    out << "---- what the board did (virtual time " << seconds(r.finished_at) << ") ----\n";
    for (const auto &e : t.events())
        if (e.dev == "vexio" && (e.ev == "watchdog_setup" || e.ev == "watchdog_hold"))
            out << "watchdog request 0x" << (e.ev == "watchdog_setup" ? "20" : "22") << " with "
                << text_of(e.data["value"]) << (e.data.value("result", 0) < 0 ? " (failed)" : "")
                << " at " << seconds(e.t) << "\n";
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
    auto refused = t.of("vexio", "buzzer_refused");
    if (!refused.empty())
        out << "buzzer: " << refused.size() << " tone(s) refused, the buzzer not set up\n";
    panel_link(out, t);
    rs485_port(out, t);
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
    for (size_t c = 0; c < s.chip_holds_image.size(); ++c)
        out << "chip " << c + 1
            << " flash: " << (s.chip_holds_image[c] ? "holds the image" : "other than the image")
            << "\n";
    const ResultRecord &rec = s.record;
    out << "test result record: usbResult " << rec.usbResult << ", sataResult " << rec.sataResult
        << ", networkError " << rec.networkError << ", rs485Error " << rec.rs485Error
        << ", alarmError " << rec.alarmError << ", rtcError " << rec.rtcError
        << "; expected USB count " << rec.usbExpected << "\n";
    // The operator pulls the sticks out after the test: one still mounted
    // then loses what the kernel had not yet written to it.
    std::string mounted;
    Kernel &board = *s.kernel;
    if (Node *mnt = board.vfs().lookup("/mnt"); mnt != nullptr && board.wiring().fs_device)
        for (const std::string &name : mnt->entries)
            if (board.wiring().fs_device("/mnt/" + name) != ROOT_FS_DEVICE)
                mounted += (mounted.empty() ? "" : ", ") + std::string("/mnt/") + name;
    if (!mounted.empty())
        out << "left mounted: " << mounted << "\n";
    out << "left open: ";
    if (!s.ended)
        out << "(process 1 never ended)";
    else if (s.left_open.empty())
        out << "nothing but the standard streams";
    for (size_t i = 0; i < s.left_open.size(); ++i)
        out << (i ? ", " : "") << s.left_open[i];
    out << "\n";
    out << "ftq ended: " << r.describe() << "\n";
    return out.str();
}

} // namespace sim
