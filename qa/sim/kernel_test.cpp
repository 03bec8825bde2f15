// The simulated board's process, time and signal semantics that the
// program relies on.
#include "platform/console.h"
#include "platform/sys.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace {

TEST(VirtualTime, SelectLeavesTheUnspentTimeInItsTimeout) {
    struct timeval tv {};
    int rc = -5;
    qa::run_on_board(
        R"({"console": {"operator": "script", "script": [{"at": 1.25, "text": "x\n"}]}})",
        [&](sim::Kernel &) {
            tv = {5, 0};
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(0, &rd);
            rc = sys::select(1, &rd, nullptr, nullptr, &tv);
            return 0;
        });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 750000);
}

TEST(VirtualTime, SleepsCostNoRealTimeAndAddUp) {
    qa::SimRun r = qa::run_on_board("{}", [](sim::Kernel &) {
        sys::sleep(3600 - 1);
        sys::usleep(999999);
        return 0;
    });
    EXPECT_EQ(r.kernel->now(), 3600 * sim::kSecond - 1);
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
}

TEST(VirtualTime, ARunThatNeverEndsStopsAtTheTimeLimit) {
    qa::SimRun r = qa::run_on_board(R"({"system": {"time_limit": 30}})", [](sim::Kernel &) {
        for (;;)
            sys::sleep(10);
        return 0;
    });
    EXPECT_EQ(r.result.end, sim::RunResult::End::TimeLimit);
    EXPECT_EQ(r.result.shell_status(), 124);
}

TEST(VirtualTime, WaitingForWhatNeverComesIsAStall) {
    qa::SimRun r = qa::run_on_board(R"({"console": {"operator": "absent"}})", [](sim::Kernel &) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(0, &rd);
        sys::select(1, &rd, nullptr, nullptr, nullptr);
        return 0;
    });
    EXPECT_EQ(r.result.end, sim::RunResult::End::Stalled);
}

TEST(VirtualTime, CallingWithoutEverWaitingIsCaughtAsSpinning) {
    qa::SimRun r = qa::run_on_board(
        R"({"console": {"operator": "eof"}, "system": {"spin_limit": 10000}})", [](sim::Kernel &) {
            char c;
            for (;;)
                sys::read(0, &c, 1);
            return 0;
        });
    EXPECT_EQ(r.result.end, sim::RunResult::End::Spinning);
}

int child_routine(void *arg) {
    say("child %d\n", *static_cast<int *>(arg));
    sys::sleep(2);
    return 7;
}

TEST(Processes, AChildRunsBesideItsParentAndItsStatusComesBack) {
    int status = -1;
    pid_t waited = 0;
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) {
        say("parent\n");
        int value = 42;
        pid_t pid = sys::spawn(child_routine, &value);
        sys::sleep(1);
        say("parent at %d\n", static_cast<int>(qa::secs(k.now())));
        waited = sys::waitpid(pid, &status, 0);
        say("reaped at %d\n", static_cast<int>(qa::secs(k.now())));
        return waited == pid ? 0 : 1;
    });
    EXPECT_EQ(r.out(), "parent\nchild 42\nparent at 1\nreaped at 2\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(r.result.code, 0);
}

void *forever(void *) {
    for (;;)
        sys::sleep(10);
    return nullptr;
}

TEST(Processes, ExitEndsTheProcessWithAllItsThreads) {
    qa::SimRun r = qa::run_on_board("{}", [](sim::Kernel &) -> int {
        sys::ThreadId id;
        sys::pthread_create(&id, forever, nullptr);
        sys::sleep(25);
        sys::exit(-1);
    });
    EXPECT_EQ(r.result.end, sim::RunResult::End::Exited);
    EXPECT_EQ(r.result.code, 255);
    EXPECT_EQ(r.kernel->now(), 25 * sim::kSecond);
}

int interrupted = 0;
void count_interrupt(int) {
    ++interrupted;
}

TEST(Signals, AHandlerRunsAndTheWaitReturnsEINTR) {
    interrupted = 0;
    int rc = 0, err = 0;
    qa::SimRun r =
        qa::run_on_board(R"({"signals": [{"at": 1.5, "signal": "SIGINT"}]})", [&](sim::Kernel &) {
            sys::signal(SIGINT, count_interrupt);
            rc = sys::usleep(3000000);
            err = errno;
            return 0;
        });
    EXPECT_EQ(interrupted, 1);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_DOUBLE_EQ(qa::secs(r.kernel->now()), 1.5);
}

void report_and_reraise(int sig) {
    SignalSafeLine().text("caught ").number(static_cast<uint32_t>(sig)).text("\n").write_to(1);
    sys::raise(sig);
    sys::signal(sig, SIG_DFL);
}

TEST(Signals, ARaisedSignalWaitsForItsHandlerToReturnThenTakesTheDefault) {
    qa::SimRun r =
        qa::run_on_board(R"({"signals": [{"at": 2, "signal": "SIGINT"}]})", [](sim::Kernel &) {
            sys::signal(SIGINT, report_and_reraise);
            sys::sleep(10);
            say("not reached\n");
            return 0;
        });
    EXPECT_EQ(r.out(), "caught 2\n");
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled);
    EXPECT_EQ(r.result.code, SIGINT);
    EXPECT_EQ(r.result.shell_status(), 130);
}

TEST(Faults, TheNthCallOfAKindFailsOnlyThen) {
    std::vector<int> results;
    qa::run_on_board(R"({"faults": [{"call": "open", "path": "/dev/vexio", "nth": 2,
                                     "errno": "EBUSY"}]})",
                     [&](sim::Kernel &) {
                         for (int i = 0; i < 3; ++i) {
                             int fd = sys::open("/dev/vexio", O_RDWR);
                             results.push_back(fd < 0 ? -errno : 0);
                             if (fd >= 0)
                                 sys::close(fd);
                         }
                         return 0;
                     });
    EXPECT_EQ(results, (std::vector<int>{0, -EBUSY, 0}));
}

TEST(Faults, ShortReadsAndEveryCallRules) {
    ssize_t got = 0;
    int failures = 0;
    qa::run_on_board(R"({"files": {"/dav0/data": {"text": "0123456789"}},
                         "faults": [{"call": "read", "path": "/dav0/data", "mode": "short"},
                                    {"call": "remove", "every": true, "errno": "EROFS"}]})",
                     [&](sim::Kernel &) {
                         char buf[10];
                         int fd = sys::open("/dav0/data", O_RDONLY);
                         got = sys::read(fd, buf, sizeof buf);
                         for (int i = 0; i < 3; ++i)
                             failures += sys::remove("/dav0/data") < 0 && errno == EROFS;
                         return 0;
                     });
    EXPECT_EQ(got, 5);
    EXPECT_EQ(failures, 3);
}

TEST(Scenario, AMalformedFieldNamesTheFileAndTheField) {
    auto message = [](const std::string &json) {
        try {
            sim::Scenario s = sim::Scenario::from_text(json, "bad.json");
            sim::Kernel k(s);
        } catch (const sim::ScenarioError &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(message(R"({"board": {"type": 4}})"),
              "bad.json: field 'board.type': board type 4 does not exist");
    EXPECT_EQ(message(R"({"board": {"info": {"usbCount": "many"}}})"),
              "bad.json: field 'board.info.usbCount': 'many' is not a number");
    EXPECT_EQ(message(R"({"console": {"operator": "asleep"}})"),
              "bad.json: field 'console.operator': 'asleep' is not one of: enter, absent, eof, "
              "script");
    EXPECT_EQ(message(R"({"boards": {}})"), "bad.json: field 'boards': unknown section");
    EXPECT_NE(message("{nope").find("bad.json: not valid JSON"), std::string::npos);
    EXPECT_EQ(message(R"({"faults": [{"call": "open", "errno": "EWHAT"}]})"),
              "bad.json: field 'faults[0].errno': 'EWHAT' is not an errno name");
    // A device name of the board's own would replace that device.
    EXPECT_EQ(message(R"({"usb": {"devices": ["msa", "console"]}})"),
              "bad.json: field 'usb.devices[1].name': /dev/console is already a node of the "
              "board or another device");
    EXPECT_EQ(message(R"({"usb": {"devices": ["sdb"]}})"),
              "bad.json: field 'disks.drives': disk sdb: /dev/sdb is already a node of the board "
              "(a disk listed twice, or a USB device of that name)");
}

} // namespace

namespace {

TEST(Faults, ASelectOnADeviceThatNeverAnswersEndsAtItsTimeOut) {
    int rc = -5;
    qa::SimRun r = qa::run_on_board(
        R"({"console": {"operator": "script", "script": [{"at": 0.5, "text": "x\n"}]},
            "faults": [{"call": "select", "path": "/dev/stdin", "mode": "hang"}]})",
        [&](sim::Kernel &) {
            struct timeval tv = {2, 0};
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(0, &rd);
            rc = sys::select(1, &rd, nullptr, nullptr, &tv);
            return 0;
        });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.kernel->now(), 2 * sim::kSecond);
    ASSERT_FALSE(r.kernel->blocking_points().empty());
    EXPECT_EQ(r.kernel->blocking_points().front().t, 0);
}

} // namespace
