// The signal sweep: Ctrl-C (SIGINT to every process) at each point where the
// program waits, one run per point. The handler in force at that moment
// prints its line, the program ends by the signal, nothing hangs, and the
// console shows exactly what the fault-free run had shown up to then plus
// the handler's line. The RS-485 receiver has its own empty handler: it
// only has its wait cut short and finishes on its own after the sender
// (default action) has ended.
//
//   signal_sweep [--every N] [--only NAME]... [--catalog] [--verbose]
//
// By default it sweeps the whole run on the healthy board, a whole run that
// fails (and so ends in the error tone), and the single
// tests whose handlers differ (3, 4, 5 and 6); --catalog adds every catalog
// scenario that has no interrupt of its own. --every N tries every N-th
// point only.
#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <regex>
#include <set>
#include <sys/wait.h>

namespace {

using sweep::Entry;
using sweep::Outcome;

// After the interrupt the receiver may still wait out its bound, beep and
// print: nothing needs longer than this.
constexpr double AFTER_SIGNAL_S = 10;

struct Handler {
    std::string name;
    std::regex line; // UTF-8
};

// The handler each part of the program installs for SIGINT.
Handler handler_for(const std::string &context) {
    if (context == "step 1" || context == "test 3")
        return {"sigintreport", std::regex("receive [0-9]+:[0-9]+ replies\n")};
    if (context == "step 3" || context == "test 5")
        return {"alarm handler", std::regex("success is [0-9]+, and error is [0-9]+\n")};
    if (context == "step 4" || context == "test 6")
        return {"rtc handler", std::regex("read rtc successfully 0 times : failed 0 times\n")};
    return {"default", std::regex("")};
}

// What the RS-485 receiver may still print once the sender is gone.
bool receiver_line(const std::string &utf8) {
    static const std::regex lines[] = {
        std::regex("read select\\(\\): .*\n"),
        std::regex("发送  [0-9]+字节成功\n    [0-9]+字节失败 \n"),
        std::regex("正确:    [0-9]+字节  \n错误:    [0-9]+字节 \n"),
    };
    return std::any_of(std::begin(lines), std::end(lines),
                       [&](const std::regex &r) { return std::regex_match(utf8, r); });
}

std::string utf8(const std::string &gb) {
    return sim::gb2312_to_utf8(gb);
}

std::string shown(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out.size() > 120 ? out.substr(0, 117) + "..." : out;
}

struct Check {
    std::vector<std::string> broken;
    std::string handler;
};

// The SIGINT disposition of each process at the moment the interrupt
// reached it: the last one it set, or the one it inherited from its parent.
std::map<int, Handler> in_force_at_delivery(const Entry &entry, const Outcome &o,
                                            std::set<int> *reached) {
    std::vector<std::string> contexts = sweep::call_contexts(entry, o);
    std::vector<size_t> sigaction_calls;
    for (size_t i = 0; i < o.calls.size(); ++i)
        if (o.calls[i].call == "sigaction")
            sigaction_calls.push_back(i);
    std::map<int, Handler> current, at_delivery;
    size_t ordinal = 0;
    for (const auto &e : o.trace) {
        if (e.dev != "kernel")
            continue;
        int pid = e.data.value("pid", 0);
        if (e.ev == "sigaction") {
            size_t index = ordinal < sigaction_calls.size() ? sigaction_calls[ordinal] : 0;
            ++ordinal;
            if (e.data.value("signal", 0) != SIGINT)
                continue;
            std::string action = e.data.value("action", "");
            if (action != "handler")
                current[pid] = {action, std::regex("")};
            else if (pid != 1)
                current[pid] = {"receiver's empty handler", std::regex("")};
            else
                current[pid] = handler_for(contexts.at(index));
        } else if (e.ev == "spawn") {
            int parent = e.data.value("parent", 0);
            current[pid] =
                current.count(parent) ? current[parent] : Handler{"default", std::regex("")};
        } else if (e.ev == "signal" && e.data.value("signal", 0) == SIGINT &&
                   !reached->count(pid)) {
            reached->insert(pid);
            at_delivery[pid] =
                current.count(pid) ? current[pid] : Handler{"default", std::regex("")};
        }
    }
    return at_delivery;
}

bool prints(const Handler &h) {
    return h.name != "default" && h.name != "ignore" && h.name != "receiver's empty handler";
}

Check judge(const Entry &entry, const Outcome &base, const Outcome &o, size_t point) {
    Check c;
    char buf[512];
    const auto &bp = base.blocking.at(point);

    std::set<int> reached;
    std::map<int, Handler> handlers = in_force_at_delivery(entry, o, &reached);
    if (!reached.count(1)) {
        c.broken.push_back("the interrupt never reached the program");
        c.handler = "none";
    } else {
        c.handler = handlers[1].name;
    }

    // Ends by the signal, soon.
    if (o.result.end != sim::RunResult::End::Signalled || o.result.code != SIGINT)
        c.broken.push_back("ended: " + o.result.describe());
    double after = sweep::seconds(o.result.finished_at - bp.t);
    if (after > AFTER_SIGNAL_S) {
        snprintf(buf, sizeof buf, "took %.1f s after the interrupt", after);
        c.broken.push_back(buf);
    }
    // A tone that outlives the program sounds until the board restarts.
    if (o.trace_count("vexio", "buzzer_on") > o.trace_count("vexio", "buzzer_off"))
        c.broken.push_back("the buzzer was left on");
    for (const auto &[pid, status] : o.processes) {
        if (status == -1)
            c.broken.push_back("process " + std::to_string(pid) + " never ended");
        // A process whose handler printed its line ends by the signal too.
        else if (reached.count(pid) && prints(handlers[pid]) &&
                 !(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT))
            c.broken.push_back("process " + std::to_string(pid) +
                               " did not end by the interrupt after its handler ran");
    }

    // The console: the fault-free run's writes up to the interrupt, then
    // each printing handler's line once, then (from the receiver with its
    // own handler only) the end of its test.
    size_t k = 0;
    while (k < o.console.size() && k < base.console.size() &&
           o.console[k].pid == base.console[k].pid && o.console[k].fd == base.console[k].fd &&
           o.console[k].bytes == base.console[k].bytes)
        ++k;
    size_t due = 0; // what the fault-free run had written before the interrupt
    while (due < base.console.size() && base.console[due].t < bp.t)
        ++due;
    if (k < due) {
        snprintf(buf, sizeof buf,
                 "output lost: write %zu of the fault-free run (\"%s\") is missing", k,
                 shown(utf8(base.console[k].bytes)).c_str());
        c.broken.push_back(buf);
    }
    std::map<int, std::vector<std::string>> after_by_pid;
    for (size_t i = k; i < o.console.size(); ++i)
        after_by_pid[o.console[i].pid].push_back(utf8(o.console[i].bytes));
    std::set<int> pids = {1};
    for (const auto &[pid, lines] : after_by_pid)
        pids.insert(pid);
    for (int pid : pids) {
        const std::vector<std::string> &lines = after_by_pid[pid];
        Handler h = handlers.count(pid) ? handlers[pid] : Handler{"default", std::regex("")};
        std::string who = pid == 1 ? "" : " (process " + std::to_string(pid) + ")";
        if (prints(h)) {
            if (lines.size() != 1 || !std::regex_match(lines[0], h.line)) {
                std::string got;
                for (const auto &m : lines)
                    got += (got.empty() ? "\"" : ", \"") + shown(m) + "\"";
                c.broken.push_back("expected the " + h.name + " line once" + who + ", got " +
                                   (got.empty() ? "nothing" : got));
            }
        } else if (h.name == "receiver's empty handler") {
            for (const auto &m : lines)
                if (!receiver_line(m))
                    c.broken.push_back("the receiver printed \"" + shown(m) +
                                       "\" after the interrupt");
        } else if (!lines.empty()) {
            c.broken.push_back("printed after an interrupt with the " + h.name + " action" + who +
                               ": \"" + shown(lines[0]) + "\"");
        }
    }
    if (reached.size() > 1 && handlers.count(2))
        c.handler += ", child: " + handlers[2].name;
    return c;
}

struct Subject {
    Entry entry;
    std::string label;
};

} // namespace

int main(int argc, char **argv) {
    size_t every = 1;
    bool verbose = false;
    bool catalog = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--every" && i + 1 < argc)
            every = std::max(1, atoi(argv[++i]));
        else if (a == "--verbose")
            verbose = true;
        else if (a == "--catalog")
            catalog = true;
        else if (a == "--only" && i + 1 < argc)
            only.push_back(argv[++i]);
        else {
            fprintf(stderr,
                    "usage: signal_sweep [--every N] [--only NAME]... [--catalog] [--verbose]\n");
            return 2;
        }
    }

    std::vector<Subject> subjects;
    subjects.push_back({{"whole-run", nlohmann::json::object(), {}}, "whole run"});
    // A failed run ends in the summary's 5-second error tone.
    subjects.push_back(
        {{"failed-whole-run", {{"rs485", {{"fixture", "disconnected"}}}}, {}}, "failed whole run"});
    for (const char *test : {"3", "4", "5", "6"})
        subjects.push_back({{std::string("test-") + test, nlohmann::json::object(), {"-o", test}},
                            std::string("ftq -o ") + test});
    if (catalog)
        for (Entry &e : sweep::load_catalog(sim::catalog_dir()))
            if (!e.doc.contains("signals") && sweep::mode_of(e) != sweep::Mode::Other)
                subjects.push_back({e, e.name});
    if (!only.empty())
        subjects.erase(std::remove_if(subjects.begin(), subjects.end(),
                                      [&](const Subject &s) {
                                          return std::none_of(
                                              only.begin(), only.end(), [&](const std::string &o) {
                                                  return s.entry.name.find(o) != std::string::npos;
                                              });
                                      }),
                       subjects.end());

    size_t tried = 0, broken = 0;
    std::map<std::string, size_t> by_handler;
    std::vector<std::string> breaks;
    for (const Subject &s : subjects) {
        sweep::RunOptions ro;
        ro.record_calls = true;
        Outcome base = sweep::run(s.entry, ro);
        size_t points = base.blocking.size();
        size_t here = 0, here_broken = 0;
        for (size_t p = 0; p < points; p += every) {
            sweep::RunOptions so;
            so.record_calls = true;
            so.signal_point = p;
            so.time_limit_s = sweep::seconds(base.result.finished_at) + 60;
            Outcome o = sweep::run(s.entry, so);
            Check c = judge(s.entry, base, o, p);
            ++here;
            ++by_handler[c.handler];
            if (c.broken.empty())
                continue;
            ++here_broken;
            const auto &bp = base.blocking[p];
            char head[160];
            snprintf(head, sizeof head, "%s: point %zu (t %.3f s, pid %d, task %d, %s)",
                     s.label.c_str(), p, sweep::seconds(bp.t), bp.pid, bp.task, c.handler.c_str());
            std::string line = head;
            for (const auto &b : c.broken)
                line += "\n      " + b;
            breaks.push_back(line);
        }
        printf("%-32s %5zu blocking points, %5zu interrupted, %zu broke a rule\n", s.label.c_str(),
               points, here, here_broken);
        fflush(stdout);
        tried += here;
        broken += here_broken;
    }
    printf("signal sweep: %zu interrupts tried, %zu broke a rule\n", tried, broken);
    printf("handler in force:");
    for (const auto &[name, n] : by_handler)
        printf(" %s %zu;", name.c_str(), n);
    printf("\n");
    size_t shown_breaks = 0;
    for (const auto &b : breaks) {
        if (!verbose && shown_breaks++ == 30) {
            printf("  ... and %zu more (--verbose lists them all)\n", breaks.size() - 30);
            break;
        }
        printf("  %s\n", b.c_str());
    }
    return broken == 0 ? 0 : 1;
}
