#include "sweep/sweep.h"

#include "sim/harness/harness.h"
#include "sim/harness/session.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <sstream>
#include <stdexcept>

namespace sweep {

namespace fs = std::filesystem;

std::string gb(const std::string &utf8) {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("this system cannot convert to GB2312");
    std::string out(utf8.size() * 2 + 8, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t in_left = utf8.size();
    char *o = out.data();
    size_t o_left = out.size();
    size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1))
        throw std::runtime_error("not GB2312 text: " + utf8);
    out.resize(out.size() - o_left);
    return out;
}

double seconds(sim::Time t) {
    return static_cast<double>(t) / sim::kSecond;
}

std::string describe_request(const std::optional<unsigned long> &request) {
    if (!request)
        return "";
    char buf[24];
    snprintf(buf, sizeof buf, "0x%lX", *request);
    return buf;
}

std::vector<Entry> load_catalog(const std::string &dir, const std::vector<std::string> &only) {
    std::vector<Entry> out;
    std::vector<fs::path> files;
    for (const auto &f : fs::directory_iterator(dir))
        if (f.path().extension() == ".json")
            files.push_back(f.path());
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        Entry e;
        e.name = f.stem().string();
        if (!only.empty() && std::none_of(only.begin(), only.end(), [&](const std::string &o) {
                return e.name.find(o) != std::string::npos;
            }))
            continue;
        sim::Scenario s = sim::Scenario::from_file(f.string());
        e.doc = s.doc();
        e.args = sim::scenario_args(s);
        out.push_back(std::move(e));
    }
    return out;
}

std::string Outcome::text() const {
    std::string out;
    for (const auto &w : console)
        out += w.bytes;
    return out;
}

std::string Outcome::text_of(int pid) const {
    std::string out;
    for (const auto &w : console)
        if (w.pid == pid)
            out += w.bytes;
    return out;
}

bool Outcome::has(const std::string &gb_text) const {
    return text().find(gb_text) != std::string::npos;
}

size_t Outcome::trace_count(const std::string &dev, const std::string &ev) const {
    return static_cast<size_t>(std::count_if(trace.begin(), trace.end(), [&](const auto &e) {
        return e.dev == dev && (ev.empty() || e.ev == ev);
    }));
}

Outcome run(const Entry &entry, const RunOptions &options) {
    sim::SessionOptions o;
    o.faults = options.faults;
    o.signal_point = options.signal_point;
    o.time_limit_s = options.time_limit_s;
    o.record_calls = options.record_calls;
    sim::Session s(sim::Scenario::from_json(entry.doc, entry.name), o);
    Outcome out;
    out.result = s.run_ftq(entry.args);
    const sim::Kernel &k = *s.kernel;
    out.console = k.console();
    out.calls = k.calls();
    out.blocking = k.blocking_points();
    out.trace = k.trace().events();
    out.processes = k.process_statuses();
    out.record = s.record;
    out.chip_holds_image = s.chip_holds_image;
    out.peak_descriptors = s.peak_descriptors;
    out.descriptors_at_write = s.descriptors_at_write;
    // The standard streams and what else process 1 still held.
    out.descriptors_at_exit = s.ended ? static_cast<int>(s.left_open.size()) + 3 : -1;
    return out;
}

int single_test_number(const Entry &entry) {
    if (entry.args.size() != 2)
        return 0;
    const std::string &o = entry.args[0];
    const std::string &n = entry.args[1];
    if (o != "-o" && o != "-O")
        return 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    int number = 0;
    if (n.empty() || !digit(n[0]))
        return 0;
    if (n.size() >= 2 && digit(n[1]))
        number = 10 * (n[0] - '0') + (n[1] - '0');
    else if (n.size() == 1)
        number = n[0] - '0';
    else
        return 0;
    return number >= 1 && number <= 11 ? number : 0;
}

Mode mode_of(const Entry &entry) {
    size_t n = entry.args.size();
    if (n == 2)
        return single_test_number(entry) != 0 ? Mode::SingleTest : Mode::Other;
    if (n == 1 && (entry.args[0] == "-h" || entry.args[0] == "--help"))
        return Mode::Other;
    return Mode::WholeRun;
}

std::optional<std::string> landmark(const std::string &bytes) {
    static const std::string step = gb("第");
    static const std::string step2 = gb("步:");
    static const std::string report = gb("CPLD信息");
    static const std::string summary = gb("FTQ测试结果如下");
    static const std::string end = gb("测试结束");
    if (bytes.rfind(step, 0) == 0) {
        size_t at = bytes.find(step2);
        if (at != std::string::npos && at > step.size())
            return "step " + bytes.substr(step.size(), at - step.size());
    }
    if (bytes.rfind(report, 0) == 0)
        return "report";
    if (bytes.rfind(summary, 0) == 0)
        return "summary";
    if (bytes.rfind(end, 0) == 0)
        return "end";
    return std::nullopt;
}

std::vector<std::string> call_contexts(const Entry &entry, const Outcome &outcome) {
    std::vector<std::string> out;
    out.reserve(outcome.calls.size());
    enum { Start, Setup, Run } phase = Start;
    // Landmarks only move forward: keep the label of the writes seen so far.
    size_t scanned = 0;
    std::string label = "step 1";
    Mode mode = mode_of(entry);
    for (const auto &c : outcome.calls) {
        switch (phase) {
        case Start:
            out.push_back("start");
            if (c.call == "setuid")
                phase = Setup;
            break;
        case Setup:
            out.push_back("setup");
            if (c.call == "pthread_create" && c.pid == 1 && mode != Mode::Other)
                phase = Run;
            break;
        case Run:
            if (mode == Mode::SingleTest) {
                out.push_back("test " + std::to_string(single_test_number(entry)));
                break;
            }
            for (; scanned < c.console_writes && scanned < outcome.console.size(); ++scanned)
                if (outcome.console[scanned].pid == 1)
                    if (auto l = landmark(outcome.console[scanned].bytes))
                        label = *l;
            out.push_back(label);
            break;
        }
    }
    return out;
}

Verdicts verdicts_of(const Entry &entry, const Outcome &outcome) {
    Verdicts v;
    const Record &r = outcome.record;
    // A single test reports its verdict when it ran to its end: the set-up
    // passed, and the program ended normally.
    bool exited = outcome.result.end == sim::RunResult::End::Exited && outcome.result.code == 0;
    if (mode_of(entry) == Mode::SingleTest) {
        std::string test = "test " + std::to_string(single_test_number(entry));
        std::vector<std::string> contexts = call_contexts(entry, outcome);
        exited = exited && std::find(contexts.begin(), contexts.end(), test) != contexts.end();
    }
    switch (mode_of(entry)) {
    case Mode::WholeRun:
        // Any of its first lines shows that the summary ran (one of them
        // may be lost to a failed console write).
        v.reported = outcome.has(gb("FTQ测试结果如下")) || outcome.has(gb("SATA口      : "));
        v.summary_ok = outcome.has(gb("测试结果    : OK "));
        // What the summary weighs, also when its lines never reached the
        // console (the program acts on it all the same).
        v.passed["network"] = r.networkError == 0;
        v.passed["alarm"] = r.alarmError == 0;
        v.passed["rtc"] = r.rtcError == 0;
        v.passed["rs485"] = r.rs485Error == 0;
        v.passed["usb"] = r.usbResult == r.usbExpected;
        break;
    case Mode::SingleTest:
        switch (single_test_number(entry)) {
        case 4:
            v.reported = exited;
            if (v.reported)
                v.passed["rs485"] = r.rs485Error == 0;
            break;
        case 5:
            v.reported = exited && outcome.has(gb("成功 "));
            if (v.reported)
                v.passed["alarm"] = r.alarmError == 0;
            break;
        case 6:
            v.reported = exited;
            if (v.reported)
                v.passed["rtc"] = r.rtcError == 0;
            break;
        case 11:
            v.reported = exited;
            if (v.reported)
                v.passed["network"] = r.networkError == 0;
            break;
        case 10:
            v.reported = outcome.has(gb("测试结果如下"));
            if (v.reported)
                for (int chip = 1; chip <= 2; ++chip) {
                    std::string line = "Chip" + std::to_string(chip) + " ";
                    size_t at = outcome.text().find(line);
                    if (at != std::string::npos)
                        v.passed["chip" + std::to_string(chip)] =
                            outcome.text().compare(at + line.size(), gb("正常").size(),
                                                   gb("正常")) == 0;
                }
            break;
        default:
            break;
        }
        break;
    case Mode::Other:
        break;
    }
    return v;
}

} // namespace sweep
