// The kernel facilities the sweeps stand on: the call log that names each
// call site, the interrupt sent at one blocking point or call point, and
// close semantics under an injected error; and the buzzer's guard, which
// only an interrupt at a call point can catch out.
#include "simrun.h"

#include "platform/sys.h"
#include "board/buzzer.h"
#include "board/vexio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <linux/rtc.h>

namespace {

std::unique_ptr<sim::Session> run(const std::string &scenario, const std::vector<std::string> &args,
                                  sim::SessionOptions options) {
    auto s = sim::Session::from_text(scenario, options);
    s->run_ftq(args);
    return s;
}

sim::SessionOptions recording() {
    sim::SessionOptions o;
    o.record_calls = true;
    return o;
}

std::vector<const sim::Kernel::CallRecord *> calls_on(const sim::Kernel &k,
                                                      const std::string &path) {
    std::vector<const sim::Kernel::CallRecord *> out;
    for (const auto &c : k.calls())
        if (c.path == path)
            out.push_back(&c);
    return out;
}

TEST(CallLog, RecordsTheCallsFaultRulesSeeInTheirOrder) {
    auto r = run("{}", {"-o", "6"}, recording());
    ASSERT_EQ(r->result.end, sim::RunResult::End::Exited) << r->result.describe();
    auto rtc = calls_on(*r->kernel, "/dev/rtc");
    ASSERT_EQ(rtc.size(), 9u);
    for (size_t i = 0; i < rtc.size(); ++i) {
        const char *want = i % 3 == 0 ? "open" : i % 3 == 1 ? "ioctl" : "close";
        EXPECT_EQ(rtc[i]->call, want) << i;
        EXPECT_EQ(rtc[i]->request.has_value(), i % 3 == 1) << i;
        EXPECT_FALSE(rtc[i]->faulted) << i;
        EXPECT_EQ(rtc[i]->pid, 1);
    }
    EXPECT_EQ(*rtc[1]->request, static_cast<unsigned long>(RTC_RD_TIME));
    // The console writes made before each call only grow, and the three
    // readings are a second apart.
    size_t writes = 0;
    for (const auto &c : r->kernel->calls()) {
        EXPECT_GE(c.console_writes, writes);
        writes = c.console_writes;
    }
    EXPECT_EQ(rtc[3]->t - rtc[0]->t, sim::kSecond);
    EXPECT_GT(rtc[3]->console_writes, rtc[0]->console_writes);
}

TEST(CallLog, MarksTheCallAFaultRuleFailed) {
    auto r = run(R"({"faults": [{"call": "ioctl", "path": "/dev/rtc", "nth": 2}]})", {"-o", "6"},
                 recording());
    std::vector<bool> faulted;
    for (const auto *c : calls_on(*r->kernel, "/dev/rtc"))
        if (c->call == "ioctl")
            faulted.push_back(c->faulted);
    EXPECT_EQ(faulted, (std::vector<bool>{false, true, false}));
}

TEST(SignalAtBlockingPoint, InterruptsTheProgramWhereItStartsToWait) {
    auto base = run("{}", {"-o", "5"}, {});
    const auto &points = base->kernel->blocking_points();
    ASSERT_GE(points.size(), 4u);
    // A wait late in the alarm test, after some checks were counted.
    sim::SessionOptions at;
    at.signal_point = points.size() - 2;
    auto r = run("{}", {"-o", "5"}, at);
    EXPECT_EQ(r->result.end, sim::RunResult::End::Signalled) << r->result.describe();
    EXPECT_EQ(r->result.code, SIGINT);
    auto sent = r->events("kernel", "signal_sent");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].t, points[*at.signal_point].t);
    ASSERT_EQ(r->kernel->blocking_points().size(), *at.signal_point + 1)
        << "the program waits nowhere after the interrupt";
    EXPECT_NE(r->out().find("success is "), std::string::npos) << r->out();

    at.signal_point = 100000; // never reached: nothing is sent
    r = run("{}", {"-o", "5"}, at);
    EXPECT_EQ(r->result.end, sim::RunResult::End::Exited) << r->result.describe();
    EXPECT_EQ(r->count("kernel", "signal_sent"), 0u);
}

// A signal sent at a call point meets its handler before the call does
// anything, or after it has done everything but give its result back; the
// handler's own calls leave that result's errno alone.
TEST(SignalAtCallPoint, TheHandlerRunsAsTheCallStartsOrAsItReturns) {
    static int order;
    static int handled_at, opened_at;
    for (bool returning : {false, true}) {
        order = 0;
        handled_at = opened_at = -1;
        int rc = 0, err = 0;
        auto body = [&](sim::Kernel &k) {
            struct sigaction act = {};
            act.sa_handler = [](int) {
                handled_at = ++order;
                sys::open("/dev/vexio", O_RDWR); // succeeds: errno untouched by it
                errno = EBADF;                   // what a careless handler leaves
            };
            sys::sigaction(SIGINT, &act, nullptr);
            size_t first = k.call_points_passed();
            k.signal_at_call_point(first + (returning ? 1 : 0), SIGINT);
            rc = sys::open("/nowhere", O_RDONLY);
            err = errno;
            opened_at = ++order;
            return 0;
        };
        qa::run_on_board("{}", body);
        EXPECT_EQ(rc, -1) << returning;
        EXPECT_EQ(err, ENOENT) << "returning " << returning;
        EXPECT_EQ(handled_at, 1) << returning;
        EXPECT_EQ(opened_at, 2) << returning;
    }
    // Both points of every call, in each task's order, with its call's name.
    sim::SessionOptions o;
    o.record_call_points = true;
    auto r = run("{}", {"-o", "6"}, o);
    const auto &points = r->kernel->call_points();
    ASSERT_GE(points.size(), 20u);
    EXPECT_EQ(points.size(), r->kernel->call_points_passed());
    std::map<int, const sim::Kernel::CallPoint *> entered; // by task
    size_t ioctls = 0;
    for (const auto &p : points) {
        const sim::Kernel::CallPoint *&open = entered[p.task];
        if (!p.returning) {
            EXPECT_EQ(open, nullptr) << p.call << " entered inside " << open->call;
            open = &p;
            ioctls += std::string(p.call) == "ioctl";
        } else {
            ASSERT_NE(open, nullptr) << p.call << " returned, never entered";
            EXPECT_STREQ(open->call, p.call);
            EXPECT_LE(open->console_writes, p.console_writes);
            open = nullptr;
        }
    }
    // The heartbeat thread ends with the process inside its sleep.
    EXPECT_GE(ioctls, 3u + 2u); // the clock read thrice, the watchdog set up
}

// Ctrl-C as a buzzer routine installs or removes its guard, on the
// entry or the return of each of its calls, ends the program by the
// signal, the tone off: never a guard that raises the signal for ever.
TEST(BuzzerGuard, ASignalAroundEachDispositionChangeEndsTheProgramWithTheToneOff) {
    // The receiver beeps twice, the summary sounds the error tone.
    const std::string failed = R"({"rs485": {"fixture": "disconnected"}})";
    sim::SessionOptions o;
    o.record_call_points = true;
    auto base = run(failed, {}, o);
    ASSERT_GT(base->count("vexio", "buzzer_on"), 0u);
    size_t tried = 0;
    const auto &points = base->kernel->call_points();
    for (size_t i = 0; i < points.size(); ++i) {
        if (std::string(points[i].call) != "sigaction" || points[i].t < 25 * sim::kSecond)
            continue;
        sim::SessionOptions at;
        at.signal_call_point = i;
        auto r = run(failed, {}, at);
        ++tried;
        EXPECT_EQ(r->result.end, sim::RunResult::End::Signalled)
            << "point " << i << ": " << r->result.describe();
        EXPECT_EQ(r->result.code, SIGINT) << "point " << i;
        EXPECT_LE(r->count("vexio", "buzzer_on"), r->count("vexio", "buzzer_off"))
            << "point " << i << ": the buzzer was left on";
    }
    EXPECT_GE(tried, 16u) << "the buzzer routines' calls were not reached";
}

// A hang-up the program was started to ignore (nohup) stays ignored through
// a beep, wherever in the beep it comes.
TEST(BuzzerGuard, AnIgnoredSignalStaysIgnoredThroughABeep) {
    // SIGHUP at the beep's call point `at`, or none when `at` is past them.
    size_t points = 0;
    auto beep_with_hangup = [&](size_t at, bool &ignored) {
        return qa::run_on_board("{}", [&](sim::Kernel &k) {
            struct sigaction act = {}, now = {};
            act.sa_handler = SIG_IGN;
            sys::sigaction(SIGHUP, &act, nullptr);
            size_t from = k.call_points_passed();
            k.signal_at_call_point(from + at, SIGHUP);
            beep(1);
            points = k.call_points_passed() - from;
            sys::sigaction(SIGHUP, nullptr, &now);
            ignored = now.sa_handler == SIG_IGN;
            return 0;
        });
    };
    bool ignored = false;
    beep_with_hangup(1000, ignored);
    size_t in_beep = points;
    ASSERT_GE(in_beep, 8u) << "open, set-up, tone on and off, close";
    for (size_t at = 0; at < in_beep; ++at) {
        ignored = false;
        auto r = beep_with_hangup(at, ignored);
        EXPECT_EQ(r.kernel->trace().count("kernel", "signal_sent"), 1u) << "point " << at;
        EXPECT_EQ(r.result.end, sim::RunResult::End::Exited)
            << "point " << at << ": " << r.result.describe();
        EXPECT_TRUE(ignored) << "point " << at;
        EXPECT_EQ(r.kernel->trace().count("vexio", "buzzer_on"), 1u) << "point " << at;
        EXPECT_EQ(r.kernel->trace().count("vexio", "buzzer_off"), 1u) << "point " << at;
    }
}

// On Linux close releases the descriptor whatever it reports; a program
// that retried it could close a descriptor opened meanwhile.
TEST(Close, AnInjectedErrorStillReleasesTheDescriptor) {
    for (const char *err : {"EIO", "EINTR"}) {
        int before = -1, after = -1, rc = 0, reported = 0, reopened = -1, first = -1;
        std::string scenario =
            std::string(R"({"faults": [{"call": "close", "path": "/dev/vexio", "errno": ")") + err +
            R"("}]})";
        qa::run_on_board(scenario, [&](sim::Kernel &k) {
            before = k.open_descriptors(1);
            first = sys::open(VEXIO_PATH, O_RDWR);
            rc = sys::close(first);
            reported = errno;
            after = k.open_descriptors(1);
            reopened = sys::open(VEXIO_PATH, O_RDWR);
            return 0;
        });
        EXPECT_EQ(rc, -1) << err;
        EXPECT_EQ(std::string(sim::errno_name(reported)), err);
        EXPECT_EQ(after, before) << err;
        EXPECT_EQ(reopened, first) << err << ": the number is free again";
    }
}

} // namespace
