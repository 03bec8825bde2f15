// The kernel facilities the sweeps stand on: the call log that names each
// call site, the interrupt sent at one blocking point, and close semantics
// under an injected error.
#include "simrun.h"

#include "platform/sys.h"
#include "board/vexio.h"

#include <gtest/gtest.h>

#include <csignal>
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
