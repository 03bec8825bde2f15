// Failing devices: every call site that a catalog scenario's run reaches
// fails in each way a device can fail, one run each, and every run must
// still end in bounded time, with the right exit status, without removing
// the board's configuration unless the board passed, and without a failed
// check reported as passed. By default each site fails at its first
// occurrence in each part of the program; the full sweep also fails its
// last occurrence and, for sites met many times, three more between them.
#include "sweep/sweep.h"

#include <algorithm>
#include <cstdio>
#include <linux/rtc.h>
#include <linux/sockios.h>
#include <set>

namespace sweep {

namespace {

constexpr unsigned long ALARM_INPUTS = 0x80026B90UL;
constexpr unsigned long WATCHDOG = 0x20;
// A fault may cost a time-out or an error tone, never more than this.
constexpr double GRACE_S = 120;
constexpr int64_t PATTERN = 1024; // the RS-485 loop's bytes

// "EIO-on": the call and every later one of its site fail with EIO, as a
// device that has failed for good (a hung-up port, a dead disk).
const char *const MODES[] = {"EIO", "EINTR", "EAGAIN", "ENOENT", "EIO-on", "short", "hang"};

bool error_mode(const std::string &mode) {
    return mode != "short" && mode != "hang";
}

// Whether a mode means anything for a call. A short transfer exists only
// for reads and writes. A device that never answers: a select that never
// sees it ready, or a request to a device that never returns; the console
// always answers, and the serial ports are read and written non-blocking
// (their silence is the select's).
bool applies(const std::string &mode, const std::string &call, const std::string &path) {
    bool transfer = call == "read" || call == "write" || call == "pread";
    if (mode == "short")
        return transfer;
    if (mode != "hang" || call == "select")
        return true;
    bool device =
        path.rfind("/dev/", 0) == 0 || path.rfind("/mnt/", 0) == 0 || path.rfind("socket:", 0) == 0;
    bool console = path == "/dev/stdin" || path == "/dev/stdout" || path == "/dev/stderr";
    bool serial = path == "/dev/ttyS1" || path == "/dev/ttyS2";
    return device && !console &&
           (transfer ? !serial
                     : call == "ioctl" || call == "mount" || call == "umount" || call == "statfs");
}

// A call site, (call, path, request) in one part of the program and one
// process, at one of its occurrences.
struct Site {
    std::string call, path, context;
    std::optional<unsigned long> request;
    bool child = false;
    size_t index = 0;      // in the run's call log
    size_t occurrence = 0; // among the calls of its site, from 1
    size_t occurrences = 0;
    int64_t nth = 0; // among the calls the fault rule matches
    std::string label() const {
        return call + " " + (path.empty() ? "-" : path) + (request ? fmt(" 0x%lX", *request) : "") +
               " [" + context + (child ? ", child" : "") +
               fmt("] #%zu/%zu", occurrence, occurrences);
    }
};

// The calls of a run as the sites they are: every call, or (for a faulty
// run) those the kernel failed.
std::vector<Site> sites_of(const Subject &subject, const sim::Session &run, bool faulted_only) {
    std::vector<std::string> contexts = call_contexts(subject, run), keys;
    const auto &calls = run.kernel->calls();
    std::map<std::string, size_t> seen;
    std::vector<Site> out;
    for (size_t i = 0; i < calls.size(); ++i) {
        const auto &c = calls[i];
        std::string key = c.call + "|" + c.path + "|" +
                          (c.request ? std::to_string(*c.request) : "") + "|" + contexts[i] +
                          (c.pid != 1 ? "|child" : "");
        size_t occurrence = ++seen[key];
        if (faulted_only && !c.faulted)
            continue;
        out.push_back({c.call, c.path, contexts[i], c.request, c.pid != 1, i, occurrence});
        keys.push_back(key);
    }
    for (size_t j = 0; j < out.size(); ++j)
        out[j].occurrences = seen[keys[j]];
    return out;
}

// The occurrences of each site that the sweep fails, but for those the
// scenario itself fails.
std::vector<Site> targets(const Subject &subject, const sim::Session &run, bool full) {
    const auto &calls = run.kernel->calls();
    std::vector<Site> out;
    for (Site &s : sites_of(subject, run, false)) {
        size_t p = s.occurrence - 1, n = s.occurrences;
        bool spread = n > 4 && (p == n / 4 || p == n * 2 / 4 || p == n * 3 / 4);
        if ((p != 0 && !(full && (p == n - 1 || spread))) || calls[s.index].faulted)
            continue;
        for (size_t j = 0; j <= s.index; ++j)
            s.nth += calls[j].call == s.call && (s.path.empty() || calls[j].path == s.path) &&
                     (!s.request || calls[j].request == s.request);
        out.push_back(s);
    }
    return out;
}

nlohmann::json rule_for(const Site &t, const std::string &mode) {
    nlohmann::json r = {{"call", t.call}, {"nth", t.nth}};
    if (!t.path.empty())
        r["path"] = t.path;
    if (t.request)
        r["request"] = *t.request;
    r[error_mode(mode) ? "errno" : "mode"] = mode == "EIO-on" ? "EIO" : mode;
    if (mode == "EIO-on")
        r["every"] = true;
    return r;
}

bool in(const std::string &context, std::initializer_list<const char *> list) {
    return std::find(list.begin(), list.end(), context) != list.end();
}

// The set-up and link failures that end the program early, with their
// exit status; nullopt for every other site.
std::optional<int> fatal_status(const Site &t) {
    bool link = t.call == "open" || t.call == "tcsetattr";
    // The key test's handler, the RS-485 sender's default action; a later
    // sigaction is the handler's own.
    bool disposition = t.call == "sigaction" && t.occurrence == 1;
    if (t.child)
        return std::nullopt;
    if (t.context == "setup" &&
        ((t.call == "open" && t.path == "/dev/vexio") || (link && t.path == "/dev/ttyS2")))
        return 255;
    // The status is the descriptor's number: the first one after the
    // three standard streams, as nothing else is open at that moment.
    if (t.context == "setup" && t.call == "ioctl" && t.path == "/dev/vexio" &&
        t.request == WATCHDOG)
        return 3;
    if ((in(t.context, {"step 1", "test 3"}) && disposition) ||
        (in(t.context, {"step 7", "test 4"}) && (disposition || (link && t.path == "/dev/ttyS1"))))
        return 255;
    return std::nullopt;
}

// The verdicts that a failure of this call must fail: the call carries the
// check's only evidence, and the program does not try it again.
std::set<std::string> must_fail(const Site &t, const std::string &mode) {
    std::set<std::string> out;
    if (!error_mode(mode))
        return out;
    if (in(t.context, {"step 2", "test 11"}) &&
        (t.call == "socket" || (t.call == "ioctl" && t.request == SIOCETHTOOL)))
        out.insert("network");
    if (t.path == "/dev/rtc" &&
        (t.call == "open" || (t.call == "ioctl" && t.request == RTC_RD_TIME)))
        out.insert("rtc");
    // The alarm inputs, and the test's own descriptor: the first it opens.
    if (in(t.context, {"step 3", "test 5"}) && t.path == "/dev/vexio" &&
        ((t.call == "ioctl" && t.request == ALARM_INPUTS) ||
         (t.call == "open" && t.occurrence == 1)))
        out.insert("alarm");
    // An interrupted wait for the receiver is tried again.
    if (in(t.context, {"step 7", "test 4"}) && !t.child &&
        (t.call == "spawn" || (t.call == "waitpid" && mode != "EINTR")))
        out.insert("rs485");
    return out;
}

// Bytes the RS-485 receiver read back from the loop: the port's reads after
// the receiver started.
int64_t bytes_back(const sim::Session &run) {
    int64_t total = 0;
    bool receiving = false;
    for (const auto &e : run.kernel->trace().events()) {
        receiving |= e.dev == "kernel" && e.ev == "spawn";
        if (receiving && e.dev == "rs485" && e.ev == "read")
            total += e.data.value("returned", int64_t{0});
    }
    return total;
}

bool any_event(const sim::Session &run, const char *dev, const char *ev, const char *key,
               const char *value) {
    auto events = run.events(dev, ev);
    return std::any_of(events.begin(), events.end(),
                       [&](const auto &e) { return e.data.value(key, "") == value; });
}

struct Baseline {
    Subject subject;
    Run run; // fault-free
    Verdicts verdicts;
    std::vector<Site> targets;
};

// Behaviour the program has by design, which the rules above still flag.
const char *const NEVER_RETURNS =
    "a driver request that never returns blocks the program for good: no time-out is given "
    "for it, and a blocked call cannot be left";
const char *const ONE_NET_PORT =
    "when the board information cannot be read before the tests, the settings keep their "
    "start values: one network port, so a second port is never queried";
const char *const USB_UNKNOWN =
    "the expected USB count stays 0 when the board information is not decoded, and a USB "
    "test that counts nothing agrees with it";
const char *const USB_COUNT_OFFSET =
    "the USB test passes on the number of devices that answer: a device that fails offsets "
    "one device too many, and the count then matches the expected one";
const char *const CHIP_LAST_RUN =
    "test 10 reports a one-chip board by its last run through the chip: a fault that ends one "
    "run early moves the scenario's own counted failure or leaves the other run to count, "
    "and the chip reported good holds the image";
const char *const HANDLER_RESTORE =
    "an interrupt handler ends the program by setting the default action and raising the "
    "signal again: when setting it fails every time (Linux never fails it for SIGINT), the "
    "raised signal finds the handler still installed and it runs again and again";

// The reason to note instead of a fix, or empty when a break is not
// explained so.
std::string design_reason(const Site &t, const std::string &mode, const Baseline &b,
                          const sim::Session &o, const std::vector<std::string> &broken) {
    const sim::ResultRecord &was = b.run->record, &is = o.record;
    auto end = o.result.end;
    std::set<std::string> reasons;
    bool removal = false, removal_explained = false;
    for (const std::string &item : broken) {
        auto starts = [&](const char *s) { return item.rfind(s, 0) == 0; };
        if (starts("bounded") && mode == "hang" && t.call != "select" &&
            (end == sim::RunResult::End::TimeLimit || end == sim::RunResult::End::Stalled))
            reasons.insert(NEVER_RETURNS);
        else if (starts("verdict: network") && t.path == "/dev/vexio" &&
                 (t.call == "open" || (t.call == "ioctl" && t.request == 0x04)) &&
                 any_event(*b.run, "net", "ethtool", "ifname", "eth1") &&
                 !any_event(o, "net", "ethtool", "ifname", "eth1"))
            reasons.insert(ONE_NET_PORT);
        else if (starts("verdict: usb") && was.usbExpected == 0 && is.usbResult == 0)
            reasons.insert(USB_UNKNOWN);
        else if (item == "verdict: usb reported as passed" && was.usbResult > was.usbExpected &&
                 is.usbResult == is.usbExpected) {
            // The pass it explains is the one the board was reset on.
            reasons.insert(USB_COUNT_OFFSET);
            removal_explained = true;
        } else if (starts("verdict: chip") && item.find("differs") == std::string::npos &&
                   single_test_number(b.subject) == 10 && o.chip_holds_image == std::vector{true})
            reasons.insert(CHIP_LAST_RUN);
        else if (starts("bounded") && t.call == "sigaction" && mode == "EIO-on" &&
                 end == sim::RunResult::End::Spinning)
            reasons.insert(HANDLER_RESTORE);
        else if (starts("removal"))
            removal = true;
        else
            return "";
    }
    // No other reason explains a factory reset after a pass that was not one.
    std::string out;
    for (const auto &r : reasons)
        out += (out.empty() ? "" : "; ") + r;
    return removal && !removal_explained ? "" : out;
}

bool ended(const sim::RunResult &r) {
    return r.end == sim::RunResult::End::Exited || r.end == sim::RunResult::End::Signalled;
}

Result judge(const Baseline &b, const Site &t, const std::string &mode, const sim::Session &o) {
    Result res;
    const auto &calls = o.kernel->calls();
    res.applied = t.index < calls.size() && calls[t.index].faulted &&
                  calls[t.index].call == t.call && calls[t.index].path == t.path;
    if (!res.applied)
        return res;
    auto broke = [&](const std::string &what) { res.broken.push_back(what); };
    const sim::Session &base = *b.run;
    // Every call the fault failed (more than one when it stays), each as
    // the site it is in the faulty run.
    std::vector<Site> failed = sites_of(b.subject, o, true);

    if (!ended(o.result) ||
        seconds(o.result.finished_at) > seconds(base.result.finished_at) + GRACE_S)
        broke(fmt("bounded time: %s at %.1f s (the fault-free run took %.1f s)",
                  o.result.describe().c_str(), seconds(o.result.finished_at),
                  seconds(base.result.finished_at)));

    // The exit status is the first program-ending failed call's; without
    // one, the fault-free run's, or 0 when the scenario's own interrupt
    // comes after a run that the fault made shorter.
    std::set<int> allowed = {base.result.shell_status()};
    if (b.subject.scenario.doc().contains("signals"))
        allowed.insert(0);
    for (const Site &f : failed) {
        std::optional<int> fatal = fatal_status(f);
        if (!error_mode(mode) || fatal || f.call == "setuid") {
            if (error_mode(mode))
                allowed = {fatal.value_or(0)};
            break;
        }
    }
    if (ended(o.result) && !allowed.count(o.result.shell_status())) {
        std::string want;
        for (int a : allowed)
            want += (want.empty() ? "" : " or ") + std::to_string(a);
        broke(fmt("exit status: %d, expected %s", o.result.shell_status(), want.c_str()));
    }

    // No descriptor outlives its use: a run that ends normally never leaves
    // more open than the fault-free run keeps open by design. (A run cut
    // short by a set-up failure or an interrupt may end in the middle of
    // a use.) Counted with the three standard streams.
    auto normal = [](const sim::Session &x) {
        return x.result.end == sim::RunResult::End::Exited && x.result.code == 0 && x.ended;
    };
    if (normal(o) && normal(base) && o.left_open.size() > base.left_open.size())
        broke(fmt("descriptors: %zu open as the program ended, the fault-free run had %zu",
                  o.left_open.size() + 3, base.left_open.size() + 3));

    // Verdicts: what failed without the fault still fails, and the checks
    // whose evidence the fault took away fail too.
    Verdicts v = verdicts_of(b.subject, o);
    std::set<std::string> must;
    for (const Site &f : failed)
        must.merge(must_fail(f, mode));
    for (const auto &[name, passed] : b.verdicts.passed)
        if (!passed)
            must.insert(name);
    auto passed = [&](const std::string &name) { return v.passed.count(name) && v.passed[name]; };
    size_t verdicts_broken = res.broken.size();
    // A factory reset is the program acting on a pass, printed or not.
    size_t removes = o.count("fs", "remove");
    if (v.reported || removes > 0) {
        for (const std::string &name : must)
            if (passed(name))
                broke("verdict: " + name + " reported as passed");
        // The loop test has seen the whole pattern come back before it passes.
        if (passed("rs485") && bytes_back(base) >= PATTERN && bytes_back(o) < PATTERN)
            broke("verdict: rs485 reported as passed without the whole pattern back");
        // A stick counted towards a pass was measured on its own file
        // system, not on the one that holds /mnt.
        if (passed("usb") && any_event(o, "usb", "statfs", "of", "root"))
            broke("verdict: usb reported as passed with a stick that never mounted");
    }
    // A chip reported good holds the image.
    for (size_t chip = 1; v.reported && chip <= 2; ++chip)
        if (passed(fmt("chip%zu", chip)) &&
            (chip > o.chip_holds_image.size() || !o.chip_holds_image[chip - 1]))
            broke(fmt("verdict: chip%zu reported good, its flash differs from the image", chip));
    verdicts_broken = res.broken.size() - verdicts_broken;

    // The configuration is removed only after a pass: every verdict the
    // summary weighs passed (whether or not its lines reached the console).
    bool all_passed =
        std::all_of(v.passed.begin(), v.passed.end(), [](const auto &p) { return p.second; });
    if (removes > 0 && (!all_passed || verdicts_broken > 0))
        broke(fmt("removal: %zu file(s) removed although the board did not pass", removes));

    if (!res.broken.empty())
        res.by_design = design_reason(t, mode, b, o, res.broken);
    return res;
}

} // namespace

int fault_sweep(const Options &opt) {
    std::vector<Baseline> bases;
    std::vector<std::tuple<size_t, size_t, const char *>> pairs; // scenario, target, mode
    size_t sites = 0;
    std::string skipped;
    for (Subject &s : catalog(opt.only)) {
        Baseline &b = bases.emplace_back(Baseline{s, run(s), {}, {}});
        if (!ended(b.run->result)) {
            skipped += "  scenario " + b.subject.name +
                       " not swept: its fault-free run does not end: " + b.run->result.describe() +
                       "\n";
            continue;
        }
        b.verdicts = verdicts_of(b.subject, *b.run);
        b.targets = targets(b.subject, *b.run, opt.full);
        sites += b.targets.size();
        for (size_t t = 0; t < b.targets.size(); ++t)
            for (const char *mode : MODES)
                if (applies(mode, b.targets[t].call, b.targets[t].path))
                    pairs.emplace_back(bases.size() - 1, t, mode);
    }
    printf("fault sweep (%s): %zu scenarios, %zu call sites, %zu (site, mode) pairs\n%s",
           opt.full ? "full" : "first occurrences", bases.size(), sites, pairs.size(),
           skipped.c_str());

    std::vector<Result> results = run_cases(pairs.size(), opt.jobs, [&](size_t i) {
        auto [s, t, mode] = pairs[i];
        sim::SessionOptions o;
        o.faults = nlohmann::json::array({rule_for(bases[s].targets[t], mode)});
        o.time_limit_s = seconds(bases[s].run->result.finished_at) + 2 * GRACE_S;
        return judge(bases[s], bases[s].targets[t], mode, *run(bases[s].subject, o));
    });
    return report("pairs", results, opt.verbose, [&](size_t i) {
        auto [s, t, mode] = pairs[i];
        return bases[s].subject.name + ": " + bases[s].targets[t].label() + " " + mode;
    });
}

} // namespace sweep
