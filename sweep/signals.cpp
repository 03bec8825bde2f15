// Interrupts: Ctrl-C (SIGINT to every process) at each point where the
// program waits, one run per point. The handler in force at that moment
// prints its line, the program ends by the signal, nothing hangs, and the
// console shows exactly what the fault-free run had shown up to then plus
// the handler's line. The RS-485 receiver has its own empty handler: it
// only has its wait cut short and finishes on its own after the sender
// (default action) has ended. The subjects are the whole run on the healthy
// board, a whole run that fails (and so ends in the error tone), and the
// single tests whose handlers differ; the full sweep adds every catalog
// scenario that has no interrupt of its own.
#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <regex>
#include <set>
#include <sys/wait.h>

namespace sweep {

namespace {

// After the interrupt the receiver may still wait out its bound, beep and
// print: nothing needs longer than this.
constexpr double AFTER_SIGNAL_S = 10;

struct Handler {
    std::string name = "default";
    const std::regex *line = nullptr; // UTF-8; null for a handler that prints nothing
};

// The handler each part of the program installs for SIGINT.
Handler handler_for(const std::string &context) {
    static const std::regex key("receive [0-9]+:[0-9]+ replies\n"),
        alarm("success is [0-9]+, and error is [0-9]+\n"),
        rtc("read rtc successfully 0 times : failed 0 times\n");
    if (context == "step 1" || context == "test 3")
        return {"sigintreport", &key};
    if (context == "step 3" || context == "test 5")
        return {"alarm handler", &alarm};
    if (context == "step 4" || context == "test 6")
        return {"rtc handler", &rtc};
    return {};
}

const char *const RECEIVER = "receiver's empty handler";

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

std::string shown(const std::string &gb_bytes) {
    std::string out;
    for (char c : sim::gb2312_to_utf8(gb_bytes))
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return out.size() > 120 ? out.substr(0, 117) + "..." : out;
}

// The SIGINT disposition of each process at the moment the interrupt
// reached it: the last one it set, or the one it inherited from its parent.
std::map<int, Handler> in_force_at_delivery(const Subject &subject, const sim::Session &o) {
    std::vector<std::string> contexts = call_contexts(subject, o);
    std::vector<size_t> sigaction_calls;
    for (size_t i = 0; i < o.kernel->calls().size(); ++i)
        if (o.kernel->calls()[i].call == "sigaction")
            sigaction_calls.push_back(i);
    std::map<int, Handler> current, at_delivery;
    size_t ordinal = 0;
    for (const auto &e : o.events("kernel")) {
        int pid = e.data.value("pid", 0);
        if (e.ev == "sigaction") {
            size_t index = ordinal < sigaction_calls.size() ? sigaction_calls[ordinal] : 0;
            ++ordinal;
            std::string action = e.data.value("action", "");
            if (e.data.value("signal", 0) != SIGINT)
                continue;
            if (action != "handler")
                current[pid] = {action};
            else
                current[pid] = pid != 1 ? Handler{RECEIVER} : handler_for(contexts.at(index));
        } else if (e.ev == "spawn") {
            current[pid] = current[e.data.value("parent", 0)];
        } else if (e.ev == "signal" && e.data.value("signal", 0) == SIGINT &&
                   !at_delivery.count(pid)) {
            at_delivery[pid] = current[pid];
        }
    }
    return at_delivery;
}

Result judge(const Subject &subject, const sim::Session &base, const sim::Session &o,
             size_t point) {
    Result c;
    auto broke = [&](const std::string &what) { c.broken.push_back(what); };
    const auto &bp = base.kernel->blocking_points().at(point);
    std::map<int, Handler> handlers = in_force_at_delivery(subject, o);
    c.handler = handlers.count(1) ? handlers[1].name : "none";
    if (!handlers.count(1))
        broke("the interrupt never reached the program");
    if (handlers.count(2) && handlers.size() > 1)
        c.handler += ", child: " + handlers[2].name;

    // Ends by the signal, soon.
    if (o.result.end != sim::RunResult::End::Signalled || o.result.code != SIGINT)
        broke("ended: " + o.result.describe());
    double after = seconds(o.result.finished_at - bp.t);
    if (after > AFTER_SIGNAL_S)
        broke("took " + std::to_string(after) + " s after the interrupt");
    // A tone that outlives the program sounds until the board restarts.
    if (o.count("vexio", "buzzer_on") > o.count("vexio", "buzzer_off"))
        broke("the buzzer was left on");
    for (const auto &[pid, status] : o.kernel->process_statuses()) {
        std::string who = "process " + std::to_string(pid);
        if (status == -1)
            broke(who + " never ended");
        // A process whose handler printed its line ends by the signal too.
        else if (handlers.count(pid) && handlers[pid].line &&
                 !(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT))
            broke(who + " did not end by the interrupt after its handler ran");
    }

    // The console: the fault-free run's writes up to the interrupt, then
    // each printing handler's line once, then (from the receiver with its
    // own handler only) the end of its test.
    const auto &was = base.kernel->console(), &is = o.kernel->console();
    size_t k = 0;
    while (k < is.size() && k < was.size() && is[k].pid == was[k].pid && is[k].fd == was[k].fd &&
           is[k].bytes == was[k].bytes)
        ++k;
    size_t due = 0; // what the fault-free run had written before the interrupt
    while (due < was.size() && was[due].t < bp.t)
        ++due;
    if (k < due)
        broke("output lost: write " + std::to_string(k) + " of the fault-free run (\"" +
              shown(was[k].bytes) + "\") is missing");
    std::map<int, std::vector<std::string>> after_by_pid = {{1, {}}};
    for (size_t i = k; i < is.size(); ++i)
        after_by_pid[is[i].pid].push_back(is[i].bytes);
    for (const auto &[pid, lines] : after_by_pid) {
        const Handler &h = handlers[pid];
        std::string who = pid == 1 ? "" : " (process " + std::to_string(pid) + ")";
        if (h.line) {
            if (lines.size() != 1 || !std::regex_match(sim::gb2312_to_utf8(lines[0]), *h.line)) {
                std::string got;
                for (const auto &m : lines)
                    got += (got.empty() ? "\"" : ", \"") + shown(m) + "\"";
                broke("expected the " + h.name + " line once" + who + ", got " +
                      (got.empty() ? "nothing" : got));
            }
        } else if (h.name == RECEIVER) {
            for (const auto &m : lines)
                if (!receiver_line(sim::gb2312_to_utf8(m)))
                    broke("the receiver printed \"" + shown(m) + "\" after the interrupt");
        } else if (!lines.empty()) {
            broke("printed after an interrupt with the " + h.name + " action" + who + ": \"" +
                  shown(lines[0]) + "\"");
        }
    }
    return c;
}

} // namespace

int signal_sweep(const Options &opt) {
    std::vector<Subject> subjects = {{"whole run", sim::Scenario(), {}}};
    // A failed run ends in the summary's 5-second error tone.
    subjects.push_back({"failed whole run",
                        sim::Scenario::from_json({{"rs485", {{"fixture", "disconnected"}}}}),
                        {}});
    for (const char *test : {"3", "4", "5", "6"})
        subjects.push_back({std::string("ftq -o ") + test, sim::Scenario(), {"-o", test}});
    if (opt.full)
        for (Subject &s : catalog({}))
            if (!s.scenario.doc().contains("signals") && mode_of(s) != Mode::Other)
                subjects.push_back(std::move(s));
    subjects.erase(std::remove_if(subjects.begin(), subjects.end(),
                                  [&](const Subject &s) { return !wanted(s.name, opt.only); }),
                   subjects.end());

    std::vector<Run> bases;
    std::vector<std::pair<size_t, size_t>> points; // (subject, blocking point)
    for (const Subject &s : subjects) {
        bases.push_back(run(s));
        for (size_t p = 0; p < bases.back()->kernel->blocking_points().size(); ++p)
            points.push_back({bases.size() - 1, p});
    }
    printf("signal sweep (%s): %zu subjects, %zu blocking points\n",
           opt.full ? "with the catalog" : "own subjects", subjects.size(), points.size());

    std::vector<Result> results = run_cases(points.size(), opt.jobs, [&](size_t i) {
        auto [s, p] = points[i];
        sim::SessionOptions o;
        o.signal_point = p;
        o.time_limit_s = seconds(bases[s]->result.finished_at) + 60;
        return judge(subjects[s], *bases[s], *run(subjects[s], o), p);
    });
    for (size_t s = 0, i = 0; s < subjects.size(); ++s) {
        size_t n = bases[s]->kernel->blocking_points().size(), broken = 0;
        for (size_t end = i + n; i < end; ++i)
            broken += !results[i].broken.empty();
        printf("%-32s %5zu interrupted, %zu broke a rule\n", subjects[s].name.c_str(), n, broken);
    }
    size_t unexpected = report("interrupts", results, opt.verbose, [&](size_t i) {
        auto [s, p] = points[i];
        const auto &bp = bases[s]->kernel->blocking_points()[p];
        char head[160];
        snprintf(head, sizeof head, "%s: point %zu (t %.3f s, pid %d, task %d, %s)",
                 subjects[s].name.c_str(), p, seconds(bp.t), bp.pid, bp.task,
                 results[i].handler.c_str());
        return std::string(head);
    });
    return unexpected == 0 ? 0 : 1;
}

} // namespace sweep
