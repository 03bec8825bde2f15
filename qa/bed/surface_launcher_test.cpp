// The kernel test bed's surface launcher (sim/bed/surface_launcher.cpp),
// run against the host's own system call table: what it refuses, what it
// lets through, what it counts, and what it hands back.
//
// The program it launches is this test binary in probe mode: it makes the
// system calls named on its command line, in a forked child as well as in
// itself, and prints what each one answered.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Probe mode: "--probe [--fork] [--uname] [--exit N] [--raise SIG] NR...".
int probe(int argc, char **argv) {
    bool fork_too = false;
    std::vector<long> calls;
    int exit_status = 0;
    int sig = 0;
    bool print_uname = false;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--fork")
            fork_too = true;
        else if (a == "--uname")
            print_uname = true;
        else if (a == "--exit")
            exit_status = atoi(argv[++i]);
        else if (a == "--raise")
            sig = atoi(argv[++i]);
        else
            calls.push_back(atol(argv[i]));
    }
    auto make_calls = [&](const char *who) {
        for (long nr : calls) {
            errno = 0;
            long rc = syscall(nr, 0, 0, 0, 0, 0, 0);
            printf("%s %ld %s\n", who, nr, rc == -1 && errno == ENOSYS ? "ENOSYS" : "answered");
        }
        fflush(stdout);
    };
    if (print_uname) {
        utsname u{};
        uname(&u);
        printf("release %s\n", u.release);
    }
    make_calls("parent");
    if (fork_too) {
        pid_t pid = fork();
        if (pid == 0) {
            make_calls("child");
            _exit(0);
        }
        int status;
        waitpid(pid, &status, 0);
    }
    if (sig != 0)
        raise(sig);
    return exit_status;
}

// The cases name x86-64's numbers, so the board build has none: qemu-user
// has no seccomp, and the kernel bed runs the ARM launcher itself.
#ifdef __x86_64__
std::string self() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string launcher() {
#ifdef FTQ_SIM_BINARY
    std::string sim = FTQ_SIM_BINARY;
    return sim.substr(0, sim.rfind('/')) + "/sim/bed/surface-launcher";
#else
    return "";
#endif
}

struct Launched {
    int status = -1; // the launcher's exit status
    std::string out; // what the probe printed
    std::string err; // what the launcher printed
    std::string counts;
};

Launched launch(const std::vector<std::string> &launcher_args,
                const std::vector<std::string> &probe_args) {
    std::string dir = testing::TempDir();
    std::string base = dir + "surface-" + std::to_string(getpid());
    std::string cmd = "'" + launcher() + "'";
    for (const auto &a : launcher_args)
        cmd += " " + (a == "COUNTS" ? base + ".counts" : a);
    cmd += " -- '" + self() + "' --probe";
    for (const auto &a : probe_args)
        cmd += " " + a;
    cmd += " >" + base + ".out 2>" + base + ".err";
    unlink((base + ".counts").c_str());
    Launched l;
    int rc = system(cmd.c_str());
    l.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    auto slurp = [](const std::string &path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    l.out = slurp(base + ".out");
    l.err = slurp(base + ".err");
    l.counts = slurp(base + ".counts");
    return l;
}

// {"310":1,"324":2} as a map; anything else in the object fails the test.
std::map<std::string, long> parse_counts(const std::string &json) {
    std::map<std::string, long> m;
    std::regex whole(R"(^\{("[0-9a-z]+":[0-9a-z]+(,"[0-9a-z]+":[0-9a-z]+)*)?\}\n$)");
    EXPECT_TRUE(std::regex_match(json, whole)) << "counts: " << json;
    std::regex pair(R"x("([0-9]+)":([0-9]+))x");
    for (std::sregex_iterator it(json.begin(), json.end(), pair), end; it != end; ++it)
        m[(*it)[1]] = std::stol((*it)[2]);
    return m;
}

class SurfaceLauncher : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(access(launcher().c_str(), X_OK), 0) << launcher() << " was not built";
    }
};

// x86-64 numbers: getcpu 309 (the last allowed), process_vm_readv 310 and
// membarrier 324 (refused; no C library start-up makes them).
TEST_F(SurfaceLauncher, RefusesAboveTheLastNumberInEveryProcessAndCountsEachCall) {
    Launched l = launch({"--last", "309", "--counts", "COUNTS"}, {"--fork", "309", "310", "324"});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out, "parent 309 answered\nparent 310 ENOSYS\nparent 324 ENOSYS\n"
                     "child 309 answered\nchild 310 ENOSYS\nchild 324 ENOSYS\n");
    auto counts = parse_counts(l.counts);
    EXPECT_EQ(counts["310"], 2);
    EXPECT_EQ(counts["324"], 2);
    EXPECT_EQ(counts.count("309"), 0u);
    // Whatever else the C library tried was above the line too.
    for (const auto &[nr, n] : counts)
        EXPECT_GT(std::stol(nr), 309) << nr << " refused " << n << " times";
}

TEST_F(SurfaceLauncher, NothingRefusedIsAnEmptyObjectAndUname26ReportsA26Release) {
    Launched l = launch({"--last", "1000", "--uname26", "--counts", "COUNTS"}, {"--uname", "324"});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.counts, "{}\n");
    EXPECT_TRUE(l.out.starts_with("release 2.6.")) << l.out;
    EXPECT_NE(l.out.find("parent 324 answered\n"), std::string::npos) << l.out;
}

TEST_F(SurfaceLauncher, HandsBackTheProgramsExitStatusOrSignal) {
    EXPECT_EQ(launch({"--last", "1000"}, {"--exit", "7"}).status, 7);
    EXPECT_EQ(launch({"--last", "1000"}, {"--raise", std::to_string(SIGTERM)}).status,
              128 + SIGTERM);
}

TEST_F(SurfaceLauncher, BadCommandLinesAndUnwritableCountsFailBeforeTheProgramRuns) {
    Launched missing = launch({}, {"--exit", "7"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("--last is required"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(launch({"--last", "3x"}, {}).status, 2);
    Launched unwritable = launch({"--last", "1000", "--counts", "/nonexistent/dir/c"}, {});
    EXPECT_EQ(unwritable.status, 125);
    EXPECT_NE(unwritable.err.find("/nonexistent/dir/c"), std::string::npos) << unwritable.err;
    EXPECT_EQ(unwritable.out, "");
}
#endif

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "--probe")
        return probe(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
