// Interrupts: Ctrl-C (SIGINT to every process) at each point where the
// program waits, and as each of its calls starts and as it returns (where
// a kernel delivers a signal that came during the call), one run per
// point. The handler in force at that moment
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
    const std::regex *line = nullptr; // what it prints (UTF-8)
    bool once = true;                 // its line, or any number of them
};

// The handler each part of the program installs for SIGINT; in the RS-485
// receiver an empty one, after which the receiver may still finish its
// test: its interrupted wait, then its counts.
Handler handler_for(const std::string &context, int pid) {
    static const std::regex key("receive [0-9]+:[0-9]+ replies\n"),
        alarm("success is [0-9]+, and error is [0-9]+\n"),
        rtc("read rtc successfully 0 times : failed 0 times\n"),
        receiver("read select\\(\\): .*\n|发送  [0-9]+字节成功\n    [0-9]+字节失败 \n|"
                 "正确:    [0-9]+字节  \n错误:    [0-9]+字节 \n");
    if (pid != 1)
        return {"receiver's empty handler", &receiver, false};
    if (context == "step 1" || context == "test 3")
        return {"sigintreport", &key};
    if (context == "step 3" || context == "test 5")
        return {"alarm handler", &alarm};
    if (context == "step 4" || context == "test 6")
        return {"rtc handler", &rtc};
    return {};
}

std::string shown(const std::string &gb2312) {
    std::string out;
    for (char c : sim::gb2312_to_utf8(gb2312))
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return "\"" + (out.size() > 120 ? out.substr(0, 117) + "..." : out) + "\"";
}

// The SIGINT disposition of each process at the moment the interrupt
// reached it: the last one it set, or the one it inherited from its parent.
std::map<int, Handler> in_force_at_delivery(const Subject &subject, const sim::Session &o) {
    std::vector<std::string> contexts = call_contexts(subject, o), where;
    for (size_t i = 0; i < contexts.size(); ++i)
        if (o.kernel->calls()[i].call == "sigaction")
            where.push_back(contexts[i]);
    std::map<int, Handler> current, at_delivery;
    size_t ordinal = 0;
    for (const auto &e : o.events("kernel")) {
        int pid = e.data.value("pid", 0);
        bool sigint = e.data.value("signal", 0) == SIGINT;
        if (e.ev == "sigaction") {
            // The call's part of the program: a sigaction event is traced
            // for each sigaction call, in order.
            const std::string &at = ordinal < where.size() ? where[ordinal] : contexts.at(0);
            ++ordinal;
            std::string action = e.data.value("action", "");
            if (sigint)
                current[pid] = action != "handler" ? Handler{action} : handler_for(at, pid);
        } else if (e.ev == "spawn") {
            current[pid] = current[e.data.value("parent", 0)];
        } else if (e.ev == "signal" && sigint && !at_delivery.count(pid)) {
            at_delivery[pid] = current[pid];
        }
    }
    return at_delivery;
}

// Where an interrupt lands: as a task starts to wait, which cuts the wait
// short, or as a call starts or returns to the program.
struct Point {
    size_t subject;
    enum class Kind { Wait, Entry, Return } kind;
    size_t index; // among the blocking points, or among the call points
    sim::Time t;
    size_t due; // the fault-free run's console writes made before it
    std::string where;
};

Result judge(const Subject &subject, const sim::Session &base, const sim::Session &o,
             const Point &bp) {
    Result c;
    auto broke = [&](const std::string &what) { c.broken.push_back(what); };
    std::map<int, Handler> handlers = in_force_at_delivery(subject, o);
    c.handler = handlers.count(1) ? handlers[1].name : "none";
    if (!handlers.count(1))
        broke("the interrupt never reached the program");
    if (handlers.count(2) && handlers.size() > 1)
        c.handler += ", child: " + handlers[2].name;

    // Ends by the signal, soon.
    if (o.result.end != sim::RunResult::End::Signalled || o.result.code != SIGINT)
        broke("ended: " + o.result.describe());
    if (seconds(o.result.finished_at - bp.t) > AFTER_SIGNAL_S)
        broke(fmt("took %.1f s after the interrupt", seconds(o.result.finished_at - bp.t)));
    // A tone that outlives the program sounds until the board restarts.
    if (o.count("vexio", "buzzer_on") > o.count("vexio", "buzzer_off"))
        broke("the buzzer was left on");
    for (const auto &[pid, status] : o.kernel->process_statuses()) {
        if (status == -1)
            broke(fmt("process %d never ended", pid));
        // A process whose handler printed its line ends by the signal too.
        else if (handlers.count(pid) && handlers[pid].once && handlers[pid].line &&
                 !(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT))
            broke(fmt("process %d did not end by the interrupt after its handler ran", pid));
    }

    // The console: the fault-free run's writes up to the interrupt, then
    // what each process's handler prints.
    const auto &was = base.kernel->console(), &is = o.kernel->console();
    size_t k = 0, due = bp.due;
    while (k < is.size() && k < was.size() && is[k].pid == was[k].pid && is[k].fd == was[k].fd &&
           is[k].bytes == was[k].bytes)
        ++k;
    if (k < due)
        broke(fmt("output lost: write %zu of the fault-free run (", k) + shown(was[k].bytes) +
              ") is missing");
    std::map<int, std::vector<std::string>> after = {{1, {}}};
    for (size_t i = k; i < is.size(); ++i)
        after[is[i].pid].push_back(is[i].bytes);
    for (const auto &[pid, lines] : after) {
        const Handler &h = handlers[pid];
        std::string got, who = pid == 1 ? "" : fmt(" (process %d)", pid);
        bool right = h.line ? !h.once || lines.size() == 1 : lines.empty();
        for (const auto &m : lines) {
            got += (got.empty() ? "" : ", ") + shown(m);
            right = right && h.line && std::regex_match(sim::gb2312_to_utf8(m), *h.line);
        }
        if (!right)
            broke(h.line ? (h.once ? "expected the " + h.name + " line once" + who + ", got "
                                   : "the receiver printed, after the interrupt, ") +
                               (got.empty() ? "nothing" : got)
                         : "printed after an interrupt with the " + h.name + " action" + who +
                               ": " + got);
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
    std::vector<Point> points;
    std::vector<size_t> per_subject;
    for (size_t s = 0; s < subjects.size(); ++s) {
        sim::SessionOptions o;
        o.record_call_points = true;
        bases.push_back(run(subjects[s], o));
        const sim::Kernel &k = *bases.back()->kernel;
        for (size_t p = 0; p < k.blocking_points().size(); ++p) {
            const auto &bp = k.blocking_points()[p];
            size_t due = 0;
            while (due < k.console().size() && k.console()[due].t < bp.t)
                ++due;
            points.push_back(
                {s, Point::Kind::Wait, p, bp.t, due,
                 fmt("wait %zu (t %.3f s, pid %d, task %d)", p, seconds(bp.t), bp.pid, bp.task)});
        }
        for (size_t p = 0; p < k.call_points().size(); ++p) {
            const auto &cp = k.call_points()[p];
            points.push_back(
                {s, cp.returning ? Point::Kind::Return : Point::Kind::Entry, p, cp.t,
                 cp.console_writes,
                 fmt("%s of %s %zu (t %.3f s, pid %d, task %d)", cp.returning ? "return" : "entry",
                     cp.call, p, seconds(cp.t), cp.pid, cp.task)});
        }
        per_subject.push_back(k.blocking_points().size() + k.call_points().size());
    }
    printf("signal sweep (%s): %zu subjects, %zu points (each wait, and the entry and the return "
           "of each call)\n",
           opt.full ? "with the catalog" : "own subjects", subjects.size(), points.size());

    std::vector<Result> results = run_cases(points.size(), opt.jobs, [&](size_t i) {
        const Point &p = points[i];
        sim::SessionOptions o;
        if (p.kind == Point::Kind::Wait)
            o.signal_point = p.index;
        else
            o.signal_call_point = p.index;
        o.time_limit_s = seconds(bases[p.subject]->result.finished_at) + 60;
        return judge(subjects[p.subject], *bases[p.subject], *run(subjects[p.subject], o), p);
    });
    for (size_t s = 0, i = 0; s < subjects.size(); ++s) {
        size_t waits = 0, calls = 0, broken = 0;
        for (size_t end = i + per_subject[s]; i < end; ++i) {
            (points[i].kind == Point::Kind::Wait ? waits : calls)++;
            broken += !results[i].broken.empty();
        }
        printf("%-32s %5zu waits, %6zu call points interrupted, %zu broke a rule\n",
               subjects[s].name.c_str(), waits, calls, broken);
    }
    return report("interrupts", results, opt.verbose, [&](size_t i) {
        return subjects[points[i].subject].name + ": " + points[i].where + ", " +
               results[i].handler;
    });
}

} // namespace sweep
