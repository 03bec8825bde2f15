// The simulated board's time, process, signal and fault semantics that the
// program, the catalog and the sweeps rely on.
#include "platform/console.h"
#include "platform/sys.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace {

int wait_for_stdin(struct timeval *tv) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(0, &rd);
    return sys::select(1, &rd, nullptr, nullptr, tv);
}

TEST(VirtualTime, SelectLeavesTheUnspentTimeInItsTimeout) {
    struct timeval tv = {5, 0};
    int rc = -5;
    qa::run_on_board(
        R"({"console": {"operator": "script", "script": [{"at": 1.25, "text": "x\n"}]}})",
        [&](sim::Kernel &) { return rc = wait_for_stdin(&tv), 0; });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 750000);
}

// A run that would never end is stopped and said to be so.
TEST(VirtualTime, RunsThatCannotEndAreStopped) {
    const struct {
        const char *scenario;
        std::function<void()> body;
        sim::RunResult::End end;
    } cases[] = {
        {R"({"system": {"time_limit": 30}})",
         [] {
             for (;;)
                 sys::sleep(10);
         },
         sim::RunResult::End::TimeLimit},
        {R"({"console": {"operator": "absent"}})", [] { wait_for_stdin(nullptr); },
         sim::RunResult::End::Stalled},
        {R"({"console": {"operator": "eof"}, "system": {"spin_limit": 10000}})",
         [] {
             char c;
             for (;;)
                 sys::read(0, &c, 1);
         },
         sim::RunResult::End::Spinning},
    };
    for (const auto &c : cases) {
        qa::SimRun r = qa::run_routine(c.scenario, [&] { return c.body(), 0; });
        EXPECT_EQ(r.result.end, c.end) << c.scenario;
        EXPECT_EQ(r.result.shell_status(), 124) << c.scenario;
    }
}

int child_routine(void *arg) {
    say("child %d\n", *static_cast<int *>(arg));
    sys::sleep(2);
    return 7;
}

void *forever(void *) {
    for (;;)
        sys::sleep(10);
    return nullptr;
}

TEST(Processes, AChildRunsBesideItsParentAndExitEndsAProcessWithItsThreads) {
    int status = -1;
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) -> int {
        say("parent\n");
        int value = 42;
        pid_t pid = sys::spawn(child_routine, &value);
        sys::sleep(1);
        say("parent at %d\n", static_cast<int>(qa::secs(k.now())));
        sys::waitpid(pid, &status, 0);
        say("reaped at %d\n", static_cast<int>(qa::secs(k.now())));
        sys::ThreadId id;
        sys::pthread_create(&id, forever, nullptr);
        sys::sleep(25);
        sys::exit(-1);
    });
    EXPECT_EQ(r.out(), "parent\nchild 42\nparent at 1\nreaped at 2\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 255);
    EXPECT_EQ(r.kernel->now(), 27 * sim::kSecond);
}

int interrupted = 0;
void count_interrupt(int) {
    ++interrupted;
}

void report_and_reraise(int sig) {
    SignalSafeLine().text("caught ").number(static_cast<uint32_t>(sig)).text("\n").write_to(1);
    sys::raise(sig);
    sys::signal(sig, SIG_DFL);
}

TEST(Signals, AHandlerCutsTheWaitShortAndARaisedSignalWaitsForItsHandlerToReturn) {
    interrupted = 0;
    int rc = 0, err = 0;
    qa::SimRun r = qa::run_on_board(
        R"({"signals": [{"at": 1.5, "signal": "SIGINT"}, {"at": 4, "signal": "SIGINT"}]})",
        [&](sim::Kernel &) {
            sys::signal(SIGINT, count_interrupt);
            rc = sys::usleep(3000000);
            err = errno;
            sys::signal(SIGINT, report_and_reraise);
            sys::sleep(10);
            say("not reached\n");
            return 0;
        });
    EXPECT_EQ(interrupted, 1);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_EQ(r.out(), "caught 2\n");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled);
    EXPECT_EQ(r.result.shell_status(), 130);
    EXPECT_DOUBLE_EQ(qa::secs(r.kernel->now()), 4);
}

TEST(Faults, NthEveryShortAndHangRules) {
    std::vector<int> opens;
    ssize_t got = 0;
    int removes = 0, selected = -5;
    qa::SimRun r = qa::run_on_board(
        R"({"files": {"/dav0/data": {"text": "0123456789"}},
            "console": {"operator": "script", "script": [{"at": 0.5, "text": "x\n"}]},
            "faults": [{"call": "open", "path": "/dev/vexio", "nth": 2, "errno": "EBUSY"},
                       {"call": "read", "path": "/dav0/data", "mode": "short"},
                       {"call": "remove", "every": true, "errno": "EROFS"},
                       {"call": "select", "path": "/dev/stdin", "mode": "hang"}]})",
        [&](sim::Kernel &) {
            for (int i = 0; i < 3; ++i) {
                int fd = sys::open("/dev/vexio", O_RDWR);
                opens.push_back(fd < 0 ? -errno : 0);
                if (fd >= 0)
                    sys::close(fd);
            }
            char buf[10];
            got = sys::read(sys::open("/dav0/data", O_RDONLY), buf, sizeof buf);
            for (int i = 0; i < 3; ++i)
                removes += sys::remove("/dav0/data") < 0 && errno == EROFS;
            // A select on a device that never answers still ends at its time-out.
            struct timeval tv = {2, 0};
            selected = wait_for_stdin(&tv);
            return 0;
        });
    EXPECT_EQ(opens, (std::vector<int>{0, -EBUSY, 0}));
    EXPECT_EQ(got, 5);
    EXPECT_EQ(removes, 3);
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(r.kernel->now(), 2 * sim::kSecond);
}

} // namespace
