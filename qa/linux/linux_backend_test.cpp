// The Linux backend against real operating-system objects: processes,
// pipes and /proc. (A real child process with its verdict through its exit
// status is the RS-485 test's, over a pseudo-terminal.)
#include "driver/driver.h"
#include "driver/procstate.h"
#include "platform/console.h"
#include "platform/linux_backend.h"
#include "platform/sys.h"
#include "sim/harness/harness.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sys::LinuxBackend linux_backend;

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

// Runs body in a forked process whose standard output is a pipe, and
// returns what it wrote there and its wait status.
std::pair<std::string, int> in_child_with_piped_stdout(const std::function<int()> &body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    fflush(stdout); // the test runner's own buffer must not reach the pipe
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        sys::install(&linux_backend);
        ::_exit(body());
    }
    ::close(fds[1]);
    std::string out = read_all(fds[0]);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {out, status};
}

double cpu_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wall_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(LinuxBackend, ConsoleWaitAtEndOfInputWaitsOutItsTimeOutWithoutSpinning) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[1]); // the console is at its end
    int saved = ::dup(0);
    ::dup2(fds[0], 0);
    sys::install(&linux_backend);
    char buf[20];
    double wall = wall_seconds(), cpu = cpu_seconds();
    int rc = consolewait(buf, 1);
    wall = wall_seconds() - wall;
    cpu = cpu_seconds() - cpu;
    ::dup2(saved, 0);
    ::close(saved);
    ::close(fds[0]);
    EXPECT_EQ(rc, 0);
    EXPECT_GE(wall, 0.95);
    EXPECT_LT(wall, 3.0);
    EXPECT_LT(cpu, 0.3) << "a wait that spins burns its whole second";
}

pid_t start_as(const std::string &dir, const char *name) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execl(name, name, "30", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // Wait until the exec has happened and the command line shows the name.
    std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    for (int i = 0; i < 500; ++i) {
        FILE *f = fopen(cmdline.c_str(), "r");
        char text[32] = {};
        if (f) {
            size_t n = fread(text, 1, sizeof text - 1, f);
            fclose(f);
            if (n > 0 && strcmp(text, name) == 0)
                break;
        }
        usleep(10000);
    }
    return pid;
}

bool copy_file(const char *from, const std::string &to) {
    std::string cmd = std::string("cp ") + from + " " + to;
    return ::system(cmd.c_str()) == 0 && ::chmod(to.c_str(), 0755) == 0;
}

TEST(LinuxBackend, StopMainAppKillsTheRealMainApplicationAndNothingElse) {
    char dir_template[] = "/tmp/ftq-vexmain-XXXXXX";
    const char *dir = ::mkdtemp(dir_template);
    ASSERT_NE(dir, nullptr);
    std::string d = dir;
    const char *sleeper = ::access("/bin/sleep", X_OK) == 0 ? "/bin/sleep" : "/usr/bin/sleep";
    ASSERT_TRUE(copy_file(sleeper, d + "/vexmain"));
    ASSERT_TRUE(copy_file(sleeper, d + "/vexmain2"));
    pid_t other = start_as(d, "./vexmain2");
    pid_t main_app = start_as(d, "./vexmain");

    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    sys::install(&linux_backend);
    int rc = stopmainapp();
    ASSERT_EQ(::chdir(cwd), 0);

    int status = 0;
    EXPECT_EQ(::waitpid(main_app, &status, 0), main_app);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(::waitpid(other, &status, WNOHANG), 0) << "./vexmain2 must be left running";
    ::kill(other, SIGKILL);
    ::waitpid(other, &status, 0);
    ::system(("rm -rf " + d).c_str());
}

// Directory reading of its own (getdents64): every entry once, across
// more than one batch of the kernel's records, and the failures of
// opendir(3). /proc and /dev are read so on the board.
TEST(LinuxBackend, ReadsEveryEntryOfALargeDirectoryOnceAndFailsAsOpendir) {
    char dir_template[] = "/tmp/ftq-dir-XXXXXX";
    const char *dir = ::mkdtemp(dir_template);
    ASSERT_NE(dir, nullptr);
    std::string d = dir;
    std::set<std::string> made = {".", ".."};
    for (int i = 0; i < 300; i++) { // about 26 KiB of records: several batches
        std::string name = "entry-" + std::to_string(i) + std::string(60, 'x');
        ASSERT_TRUE(::close(::open((d + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644)) == 0);
        made.insert(name);
    }

    std::multiset<std::string> seen;
    sys::Dir *h = linux_backend.opendir(dir);
    ASSERT_NE(h, nullptr);
    errno = 0;
    while (sys::DirEntry *e = linux_backend.readdir(h))
        seen.insert(e->d_name);
    EXPECT_EQ(errno, 0) << "the end of a directory is no error";
    EXPECT_EQ(linux_backend.readdir(h), nullptr) << "and stays the end";
    EXPECT_EQ(linux_backend.closedir(h), 0);
    EXPECT_EQ(seen, std::multiset<std::string>(made.begin(), made.end()));

    errno = 0;
    EXPECT_EQ(linux_backend.opendir((d + "/entry-0" + std::string(60, 'x')).c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(linux_backend.opendir((d + "/missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    ::system(("rm -rf " + d).c_str());
}

// The help text through a real pipe, byte for byte what the catalog shows
// for ftq -h (after its board type line), when the program runs as root.
TEST(LinuxBackend, HelpOnThisMachineIsTheCatalogsText) {
    auto [out, status] = in_child_with_piped_stdout([] {
        reset_process_state();
        char prog[] = "ftq", opt[] = "-h";
        char *argv[] = {prog, opt, nullptr};
        return ftq_main(2, argv);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    bool converted = false;
    std::string utf8 = sim::gb2312_to_utf8(out, &converted);
    if (!converted)
        GTEST_SKIP() << "this system's iconv has no GB2312 converter (qemu-user sysroots lack "
                        "gconv modules)";
    // /dev/vexio does not exist here, so the board type is 0.
    std::string start = reinterpret_cast<const char *>(u8"sysInit 1 Fatal\n 设备类型 Type  0 \n");
    ASSERT_EQ(utf8.substr(0, start.size()), start);
    std::string rest = utf8.substr(start.size());
    if (::geteuid() != 0) {
        EXPECT_EQ(rest, reinterpret_cast<const char *>(u8"以管理员权限运行ftq程序失败!!!\n"));
        return;
    }
    std::string shown = qa::source_file("scenarios/cmdline-help.expected");
    shown = shown.substr(shown.find('\n') + 1);
    EXPECT_EQ(rest, shown.substr(0, shown.find("---- what the board did")));
}

} // namespace
