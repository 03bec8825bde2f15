// The fault-injection sweep: every call site that a catalog scenario's run
// reaches fails in each way a device can fail, one run each, and every run must
// still end in bounded time, with the right exit status, without removing
// the board's configuration unless the board passed, and without a failed
// check reported as passed.
//
//   fault_sweep [--full] [--jobs N] [--only NAME]... [--verbose]
//
// Without --full each site fails at its first occurrence in each part of
// the program; --full also fails its last occurrence and, for sites met
// many times, three more spread between them.
#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/rtc.h>
#include <linux/sockios.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using sweep::Entry;
using sweep::gb;
using sweep::Outcome;

constexpr unsigned long ALARM_INPUTS = 0x80026B90UL;
constexpr unsigned long WATCHDOG = 0x20;
// A fault may cost a time-out or an error tone, never more than this.
constexpr double GRACE_S = 120;

// "EIO-on": the call and every later one of its site fail with EIO, as a
// device that has failed for good (a hung-up port, a dead disk).
const char *const MODES[] = {"EIO", "EINTR", "EAGAIN", "ENOENT", "EIO-on", "short", "hang"};

bool error_mode(const std::string &mode) {
    return mode == "EIO" || mode == "EINTR" || mode == "EAGAIN" || mode == "ENOENT" ||
           mode == "EIO-on";
}

bool is_device(const std::string &path) {
    return path.rfind("/dev/", 0) == 0 || path.rfind("/mnt/", 0) == 0 ||
           path.rfind("socket:", 0) == 0;
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
    if (mode == "hang") {
        if (call == "select")
            return true;
        if (path == "/dev/stdin" || path == "/dev/stdout" || path == "/dev/stderr")
            return false;
        if (transfer && (path == "/dev/ttyS1" || path == "/dev/ttyS2"))
            return false;
        bool waits =
            transfer || call == "ioctl" || call == "mount" || call == "umount" || call == "statfs";
        return waits && is_device(path);
    }
    return true;
}

struct Target {
    std::string call, path;
    std::optional<unsigned long> request;
    std::string context;
    bool child = false;
    size_t index = 0;      // in the baseline's call log
    int64_t nth = 0;       // among the calls the rule matches
    size_t occurrence = 0; // among the calls of its site and context, from 1
    size_t occurrences = 0;
    std::string label() const {
        std::string s = call + " " + (path.empty() ? "-" : path);
        if (request)
            s += " " + sweep::describe_request(request);
        s += " [" + context + (child ? ", child" : "") + "] #" + std::to_string(occurrence) + "/" +
             std::to_string(occurrences);
        return s;
    }
};

struct Baseline {
    const Entry *entry = nullptr;
    Outcome outcome;
    sweep::Verdicts verdicts;
    std::vector<Target> targets;
    std::string skipped; // why the scenario is not swept
};

struct Pair {
    size_t scenario;
    size_t target;
    std::string mode;
};

struct Result {
    bool applied = true;
    std::vector<std::string> broken; // the rules broken, each with what was seen
    std::string by_design;           // the reason when the program does so on purpose
};

bool rule_matches(const sim::Kernel::CallRecord &c, const Target &t) {
    return c.call == t.call && (t.path.empty() || c.path == t.path) &&
           (!t.request || (c.request && *c.request == *t.request));
}

std::vector<Target> find_targets(const Entry &entry, const Outcome &base, bool full) {
    std::vector<std::string> contexts = sweep::call_contexts(entry, base);
    struct Key {
        std::string call, path, request, context;
        bool child;
        bool operator<(const Key &o) const {
            return std::tie(call, path, request, context, child) <
                   std::tie(o.call, o.path, o.request, o.context, o.child);
        }
    };
    std::map<Key, std::vector<size_t>> groups;
    std::vector<Key> order;
    for (size_t i = 0; i < base.calls.size(); ++i) {
        const auto &c = base.calls[i];
        Key k{c.call, c.path, sweep::describe_request(c.request), contexts[i], c.pid != 1};
        auto [it, fresh] = groups.try_emplace(k);
        if (fresh)
            order.push_back(k);
        it->second.push_back(i);
    }
    std::vector<Target> out;
    for (const Key &k : order) {
        const std::vector<size_t> &calls = groups[k];
        std::set<size_t> picks = {0};
        if (full) {
            picks.insert(calls.size() - 1);
            if (calls.size() > 4)
                for (size_t q = 1; q <= 3; ++q)
                    picks.insert(calls.size() * q / 4);
        }
        for (size_t p : picks) {
            size_t index = calls[p];
            const auto &c = base.calls[index];
            if (c.faulted)
                continue; // the scenario itself fails this call
            Target t;
            t.call = c.call;
            t.path = c.path;
            t.request = c.request;
            t.context = k.context;
            t.child = k.child;
            t.index = index;
            t.occurrence = p + 1;
            t.occurrences = calls.size();
            for (size_t j = 0; j <= index; ++j)
                if (rule_matches(base.calls[j], t))
                    ++t.nth;
            out.push_back(t);
        }
    }
    return out;
}

nlohmann::json rule_for(const Target &t, const std::string &mode) {
    nlohmann::json r = {{"call", t.call}, {"nth", t.nth}};
    if (!t.path.empty())
        r["path"] = t.path;
    if (t.request)
        r["request"] = *t.request;
    if (mode == "EIO-on") {
        r["errno"] = "EIO";
        r["every"] = true;
    } else if (error_mode(mode)) {
        r["errno"] = mode;
    } else {
        r["mode"] = mode;
    }
    return r;
}

bool in(const std::string &context, std::initializer_list<const char *> list) {
    for (const char *c : list)
        if (context == c)
            return true;
    return false;
}

// The set-up and link failures that end the program early, with their
// exit status; nullopt for every other site.
std::optional<int> fatal_status(const Target &t) {
    if (t.child)
        return std::nullopt;
    if (t.context == "setup") {
        if (t.call == "open" && t.path == "/dev/vexio")
            return 255;
        // The status is the descriptor's number: the first one after the
        // three standard streams, as nothing else is open at that moment.
        if (t.call == "ioctl" && t.path == "/dev/vexio" && t.request == WATCHDOG)
            return 3;
        if ((t.call == "open" || t.call == "tcsetattr") && t.path == "/dev/ttyS2")
            return 255;
    }
    // The key test's handler; a later sigaction is the handler's own.
    if (in(t.context, {"step 1", "test 3"}) && t.call == "sigaction" && t.occurrence == 1)
        return 255;
    if (in(t.context, {"step 7", "test 4"})) {
        if ((t.call == "open" || t.call == "tcsetattr") && t.path == "/dev/ttyS1")
            return 255;
        if (t.call == "sigaction" && t.occurrence == 1)
            return 255;
    }
    return std::nullopt;
}

// The verdicts that a failure of this call must fail: the call carries the
// check's only evidence, and the program does not try it again.
std::set<std::string> must_fail(const Target &t, const std::string &mode) {
    std::set<std::string> out;
    if (!error_mode(mode))
        return out;
    bool net = in(t.context, {"step 2", "test 11"});
    if (net && (t.call == "socket" || (t.call == "ioctl" && t.request == SIOCETHTOOL)))
        out.insert("network");
    if (t.path == "/dev/rtc" &&
        (t.call == "open" || (t.call == "ioctl" && t.request == RTC_RD_TIME)))
        out.insert("rtc");
    bool alarm = in(t.context, {"step 3", "test 5"});
    if (alarm && t.path == "/dev/vexio" && t.call == "ioctl" && t.request == ALARM_INPUTS)
        out.insert("alarm");
    // The test's own descriptor: the first the alarm step opens.
    if (alarm && t.path == "/dev/vexio" && t.call == "open" && t.occurrence == 1)
        out.insert("alarm");
    bool rs485 = in(t.context, {"step 7", "test 4"}) && !t.child;
    if (rs485 && t.call == "spawn")
        out.insert("rs485");
    if (rs485 && t.call == "waitpid" && mode != "EINTR")
        out.insert("rs485");
    return out;
}

int status_of(const sim::RunResult &r) {
    return r.shell_status();
}

constexpr int64_t PATTERN = 1024;

// Bytes the RS-485 receiver read back from the loop: the port's reads after
// the receiver started.
int64_t bytes_back(const Outcome &o) {
    int64_t total = 0;
    bool receiving = false;
    for (const auto &e : o.trace) {
        if (e.dev == "kernel" && e.ev == "spawn")
            receiving = true;
        else if (receiving && e.dev == "rs485" && e.ev == "read")
            total += e.data.value("returned", int64_t{0});
    }
    return total;
}

bool queried(const Outcome &o, const std::string &ifname) {
    return std::any_of(o.trace.begin(), o.trace.end(), [&](const auto &e) {
        return e.dev == "net" && e.ev == "ethtool" && e.data.value("ifname", "") == ifname;
    });
}

// Behaviour the program has by design, which the rules above still flag:
// the reason to note instead of a fix, or empty when a break is not
// explained so.
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

std::string design_reason(const Target &t, const std::string &mode, const Baseline &b,
                          const Outcome &o, const std::vector<std::string> &broken) {
    std::set<std::string> reasons;
    bool removal = false;
    bool removal_explained = false;
    for (const std::string &item : broken) {
        bool stuck = o.result.end == sim::RunResult::End::TimeLimit ||
                     o.result.end == sim::RunResult::End::Stalled;
        if (item.rfind("bounded", 0) == 0 && mode == "hang" && t.call != "select" && stuck) {
            reasons.insert(NEVER_RETURNS);
        } else if (item.rfind("verdict: network", 0) == 0 && queried(b.outcome, "eth1") &&
                   !queried(o, "eth1") && t.path == "/dev/vexio" &&
                   (t.call == "open" || (t.call == "ioctl" && t.request == 0x04))) {
            reasons.insert(ONE_NET_PORT);
        } else if (item.rfind("verdict: usb", 0) == 0 && b.outcome.record.usbExpected == 0 &&
                   o.record.usbResult == 0) {
            reasons.insert(USB_UNKNOWN);
        } else if (item == "verdict: usb reported as passed" &&
                   b.outcome.record.usbResult > b.outcome.record.usbExpected &&
                   o.record.usbResult == o.record.usbExpected) {
            reasons.insert(USB_COUNT_OFFSET);
            removal_explained = true;
        } else if (item.rfind("verdict: chip", 0) == 0 && item.find("differs") == std::string::npos &&
                   sweep::single_test_number(*b.entry) == 10 && o.chip_holds_image.size() == 1 &&
                   o.chip_holds_image[0]) {
            reasons.insert(CHIP_LAST_RUN);
        } else if (item.rfind("bounded", 0) == 0 && t.call == "sigaction" && mode == "EIO-on" &&
                   o.result.end == sim::RunResult::End::Spinning) {
            reasons.insert(HANDLER_RESTORE);
        } else if (item.rfind("removal", 0) == 0) {
            removal = true;
        } else {
            return "";
        }
    }
    // No other reason explains a factory reset after a pass that was not one.
    if (removal && !removal_explained)
        return "";
    std::string out;
    for (const auto &r : reasons)
        out += (out.empty() ? "" : "; ") + r;
    return out;
}

std::vector<Target> faulted_calls(const Entry &entry, const Outcome &o) {
    std::vector<std::string> contexts = sweep::call_contexts(entry, o);
    std::map<std::string, size_t> seen;
    std::vector<Target> out;
    for (size_t i = 0; i < o.calls.size(); ++i) {
        const auto &c = o.calls[i];
        std::string key = c.call + "|" + c.path + "|" + sweep::describe_request(c.request) + "|" +
                          contexts[i] + "|" + (c.pid != 1 ? "child" : "");
        size_t occurrence = ++seen[key];
        if (!c.faulted)
            continue;
        Target t;
        t.call = c.call;
        t.path = c.path;
        t.request = c.request;
        t.context = contexts[i];
        t.child = c.pid != 1;
        t.index = i;
        t.occurrence = occurrence;
        out.push_back(t);
    }
    return out;
}

Result judge(const Baseline &b, const Target &t, const std::string &mode, const Outcome &o) {
    Result res;
    if (t.index >= o.calls.size() || !o.calls[t.index].faulted || o.calls[t.index].call != t.call ||
        o.calls[t.index].path != t.path) {
        res.applied = false;
        return res;
    }
    const Outcome &base = b.outcome;
    char buf[256];
    // Every call the fault failed (more than one when it stays), each as
    // the site it is in the faulty run.
    std::vector<Target> failed = faulted_calls(*b.entry, o);

    // Bounded virtual time.
    bool ended = o.result.end == sim::RunResult::End::Exited ||
                 o.result.end == sim::RunResult::End::Signalled;
    double limit = sweep::seconds(base.result.finished_at) + GRACE_S;
    if (!ended || sweep::seconds(o.result.finished_at) > limit) {
        snprintf(buf, sizeof buf, "bounded time: %s at %.1f s (the fault-free run took %.1f s)",
                 o.result.describe().c_str(), sweep::seconds(o.result.finished_at),
                 sweep::seconds(base.result.finished_at));
        res.broken.push_back(buf);
    }

    // Exit status.
    if (ended) {
        std::set<int> allowed;
        // The first failed call that ends the program decides.
        std::optional<int> fatal;
        bool no_rights = false;
        for (const Target &f : failed) {
            if (!error_mode(mode))
                break;
            fatal = fatal_status(f);
            if (fatal)
                break;
            if (f.call == "setuid") {
                no_rights = true;
                break;
            }
        }
        if (fatal)
            allowed = {*fatal};
        else if (no_rights)
            allowed = {0};
        else {
            allowed = {status_of(base.result)};
            // A scenario's own interrupt may come before or after a run that
            // the fault made shorter or longer.
            if (b.entry->doc.contains("signals"))
                allowed.insert(0);
        }
        int got = status_of(o.result);
        if (!allowed.count(got)) {
            std::string want;
            for (int a : allowed)
                want += (want.empty() ? "" : " or ") + std::to_string(a);
            snprintf(buf, sizeof buf, "exit status: %d, expected %s", got, want.c_str());
            res.broken.push_back(buf);
        }
    }

    // No descriptor outlives its use: a run that ends normally never leaves
    // more open than the fault-free run keeps open by design. (A run cut
    // short by a set-up failure or an interrupt may end in the middle of
    // a use.)
    auto normal = [](const Outcome &x) {
        return x.result.end == sim::RunResult::End::Exited && x.result.code == 0;
    };
    if (normal(o) && normal(base) && base.descriptors_at_exit >= 0 &&
        o.descriptors_at_exit > base.descriptors_at_exit) {
        snprintf(buf, sizeof buf,
                 "descriptors: %d open as the program ended, the fault-free run had %d",
                 o.descriptors_at_exit, base.descriptors_at_exit);
        res.broken.push_back(buf);
    }

    // Verdicts: what failed without the fault still fails, and the checks
    // whose evidence the fault took away fail too.
    sweep::Verdicts v = sweep::verdicts_of(*b.entry, o);
    std::set<std::string> must;
    for (const Target &f : failed)
        for (const std::string &name : must_fail(f, mode))
            must.insert(name);
    for (const auto &[name, passed] : b.verdicts.passed)
        if (!passed)
            must.insert(name);
    bool verdict_broken = false;
    // A factory reset is the program acting on a pass, printed or not.
    size_t removes = o.trace_count("fs", "remove");
    bool acted = v.reported || removes > 0;
    if (acted)
        for (const std::string &name : must) {
            auto it = v.passed.find(name);
            if (it != v.passed.end() && it->second) {
                res.broken.push_back("verdict: " + name + " reported as passed");
                verdict_broken = true;
            }
        }
    // The loop test has seen the whole pattern come back before it passes.
    if (acted && v.passed.count("rs485") && v.passed.at("rs485") && bytes_back(base) >= PATTERN &&
        bytes_back(o) < PATTERN) {
        res.broken.push_back("verdict: rs485 reported as passed without the whole pattern back");
        verdict_broken = true;
    }
    // A stick counted towards a pass was measured on its own file system,
    // not on the one that holds /mnt.
    if (acted && v.passed.count("usb") && v.passed.at("usb") &&
        std::any_of(o.trace.begin(), o.trace.end(), [](const auto &e) {
            return e.dev == "usb" && e.ev == "statfs" && e.data.value("of", "") == "root";
        })) {
        res.broken.push_back("verdict: usb reported as passed with a stick that never mounted");
        verdict_broken = true;
    }
    // A chip reported good holds the image.
    for (int chip = 1; chip <= 2; ++chip) {
        std::string name = "chip" + std::to_string(chip);
        if (v.reported && v.passed.count(name) && v.passed.at(name) &&
            (static_cast<size_t>(chip) > o.chip_holds_image.size() ||
             !o.chip_holds_image[static_cast<size_t>(chip - 1)])) {
            res.broken.push_back("verdict: " + name +
                                 " reported good, its flash differs from the image");
            verdict_broken = true;
        }
    }

    // The configuration is removed only after a pass.
    // Passed: every verdict the summary weighs passed (whether or not its
    // lines reached the console).
    bool passed =
        std::all_of(v.passed.begin(), v.passed.end(), [](const auto &p) { return p.second; });
    if (removes > 0 && (!passed || verdict_broken))
        res.broken.push_back("removal: " + std::to_string(removes) +
                             " file(s) removed although the board did not pass");

    if (!res.broken.empty())
        res.by_design = design_reason(t, mode, b, o, res.broken);
    return res;
}

Result run_pair(const Baseline &b, const Target &t, const std::string &mode) {
    sweep::RunOptions opt;
    opt.record_calls = true;
    opt.faults = nlohmann::json::array({rule_for(t, mode)});
    opt.time_limit_s = sweep::seconds(b.outcome.result.finished_at) + 2 * GRACE_S;
    return judge(b, t, mode, sweep::run(*b.entry, opt));
}

struct Options {
    bool full = false;
    bool verbose = false;
    int jobs = 2;
    std::vector<std::string> only;
};

nlohmann::json to_json(const Result &r) {
    return {{"applied", r.applied}, {"broken", r.broken}, {"by_design", r.by_design}};
}

Result from_json(const nlohmann::json &j) {
    Result r;
    r.applied = j.at("applied").get<bool>();
    r.broken = j.at("broken").get<std::vector<std::string>>();
    r.by_design = j.at("by_design").get<std::string>();
    return r;
}

// Runs the pairs in `jobs` worker processes; each writes its results as
// JSON lines, read back in pair order.
std::vector<Result> run_all(const std::vector<Baseline> &baselines, const std::vector<Pair> &pairs,
                            int jobs) {
    std::vector<Result> results(pairs.size());
    char dir_template[] = "/tmp/fault_sweep.XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        perror("mkdtemp");
        exit(2);
    }
    std::vector<pid_t> workers;
    for (int w = 0; w < jobs; ++w) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            exit(2);
        }
        if (pid == 0) {
            std::ofstream out(std::string(dir) + "/" + std::to_string(w));
            for (size_t i = static_cast<size_t>(w); i < pairs.size();
                 i += static_cast<size_t>(jobs)) {
                const Pair &p = pairs[i];
                const Baseline &b = baselines[p.scenario];
                Result r = run_pair(b, b.targets[p.target], p.mode);
                out << i << " " << to_json(r).dump() << "\n";
                out.flush();
            }
            out.close();
            _exit(0);
        }
        workers.push_back(pid);
    }
    bool failed = false;
    for (pid_t pid : workers) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "fault_sweep: a worker ended abnormally (status %d)\n", status);
            failed = true;
        }
    }
    std::vector<bool> seen(pairs.size(), false);
    for (int w = 0; w < jobs; ++w) {
        std::string file = std::string(dir) + "/" + std::to_string(w);
        std::ifstream in(file);
        size_t i;
        std::string line;
        while (in >> i && std::getline(in, line)) {
            results.at(i) = from_json(nlohmann::json::parse(line));
            seen.at(i) = true;
        }
        unlink(file.c_str());
    }
    rmdir(dir);
    if (failed || std::count(seen.begin(), seen.end(), false) > 0) {
        fprintf(stderr, "fault_sweep: %zu pairs have no result\n",
                static_cast<size_t>(std::count(seen.begin(), seen.end(), false)));
        exit(2);
    }
    return results;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--full")
            opt.full = true;
        else if (a == "--verbose")
            opt.verbose = true;
        else if (a == "--jobs" && i + 1 < argc)
            opt.jobs = std::max(1, atoi(argv[++i]));
        else if (a == "--only" && i + 1 < argc)
            opt.only.push_back(argv[++i]);
        else {
            fprintf(stderr,
                    "usage: fault_sweep [--full] [--jobs N] [--only NAME]... [--verbose]\n");
            return 2;
        }
    }

    std::vector<Entry> catalog = sweep::load_catalog(sim::catalog_dir(), opt.only);
    std::vector<Baseline> baselines(catalog.size());
    std::vector<Pair> pairs;
    for (size_t s = 0; s < catalog.size(); ++s) {
        Baseline &b = baselines[s];
        b.entry = &catalog[s];
        sweep::RunOptions ro;
        ro.record_calls = true;
        b.outcome = sweep::run(catalog[s], ro);
        auto end = b.outcome.result.end;
        if (end != sim::RunResult::End::Exited && end != sim::RunResult::End::Signalled) {
            b.skipped = "its fault-free run does not end: " + b.outcome.result.describe();
            continue;
        }
        b.verdicts = sweep::verdicts_of(catalog[s], b.outcome);
        b.targets = find_targets(catalog[s], b.outcome, opt.full);
        for (size_t t = 0; t < b.targets.size(); ++t)
            for (const char *mode : MODES)
                if (applies(mode, b.targets[t].call, b.targets[t].path))
                    pairs.push_back({s, t, mode});
    }

    size_t sites = 0;
    for (const auto &b : baselines)
        sites += b.targets.size();
    printf("fault sweep (%s): %zu scenarios, %zu call sites, %zu (site, mode) pairs\n",
           opt.full ? "full" : "first occurrences", catalog.size(), sites, pairs.size());
    for (const auto &b : baselines)
        if (!b.skipped.empty())
            printf("  scenario %s not swept: %s\n", b.entry->name.c_str(), b.skipped.c_str());
    fflush(stdout);

    std::vector<Result> results = run_all(baselines, pairs, opt.jobs);

    size_t tried = 0, broken = 0, by_design = 0, not_applied = 0;
    std::map<std::string, std::vector<std::string>> by_reason;
    std::vector<std::string> breaks;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Pair &p = pairs[i];
        const Result &r = results[i];
        const Baseline &b = baselines[p.scenario];
        if (!r.applied) {
            ++not_applied;
            continue;
        }
        ++tried;
        if (r.broken.empty())
            continue;
        ++broken;
        std::string line = b.entry->name + ": " + b.targets[p.target].label() + " " + p.mode;
        for (const auto &why : r.broken)
            line += "\n      " + why;
        if (!r.by_design.empty()) {
            ++by_design;
            by_reason[r.by_design].push_back(line);
        } else {
            breaks.push_back(line);
        }
    }

    printf("pairs tried: %zu, broke a rule: %zu (unexpected %zu, by design %zu)\n", tried, broken,
           broken - by_design, by_design);
    if (not_applied > 0)
        printf("pairs whose fault did not fire (the run took another way): %zu\n", not_applied);
    if (!breaks.empty()) {
        printf("\nunexpected breaks:\n");
        for (const auto &l : breaks)
            printf("  %s\n", l.c_str());
    }
    for (const auto &[reason, lines] : by_reason) {
        printf("\nby design (%zu pairs): %s\n", lines.size(), reason.c_str());
        size_t shown = 0;
        for (const auto &l : lines) {
            if (!opt.verbose && shown++ == 8) {
                printf("  ... and %zu more (--verbose lists them all)\n", lines.size() - 8);
                break;
            }
            printf("  %s\n", l.c_str());
        }
    }
    return breaks.empty() ? 0 : 1;
}
