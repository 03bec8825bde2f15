// A person at a terminal plays the operator: tmux stands in for the person,
// typing keys and reading the screen. The screen shows UTF-8, hence the u8
// texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string shell(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// A tmux server of the test's own, on a socket in a fresh folder: on the
// shared default server another tmux user could end or type into the
// session, and the test could end theirs.
class Tmux {
  public:
    explicit Tmux(const std::string &command) {
        char dir[] = "/tmp/ftq-tmux-XXXXXX";
        if (::mkdtemp(dir) != nullptr)
            dir_ = dir;
        name_ = "ftqsim" + std::to_string(::getpid());
        shell(tmux() + "new-session -d -s " + name_ + " -x 120 -y 60 '" + command + "'");
    }
    ~Tmux() {
        shell(tmux() + "kill-server 2>/dev/null");
        if (!dir_.empty()) {
            ::unlink(socket().c_str());
            ::rmdir(dir_.c_str());
        }
    }
    bool private_server() const { return !dir_.empty(); }
    const std::string &name() const { return name_; }
    void keys(const std::string &keys) { shell(tmux() + "send-keys -t " + name_ + " " + keys); }
    std::string screen() { return shell(tmux() + "capture-pane -p -J -S -200 -t " + name_); }
    // Waits (at most 20 s of wall time) for the text to show on the screen.
    bool wait_for(const char8_t *utf8) { return wait_for(reinterpret_cast<const char *>(utf8)); }
    bool wait_for(const std::string &text) {
        for (int i = 0; i < 200; ++i) {
            if (screen().find(text) != std::string::npos)
                return true;
            ::usleep(100000);
        }
        return false;
    }

  private:
    std::string socket() const { return dir_ + "/socket"; }
    std::string tmux() const { return "tmux -S " + socket() + " "; }
    std::string dir_, name_;
};

TEST(Interactive, APersonDrivesThePanelAndTheConsoleAndGetsTheTerminalBack) {
#ifndef FTQ_SIM_BINARY
    GTEST_SKIP() << "ftq-sim is only run on the machine it was built for";
#else
    if (std::system("tmux -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    Tmux t(std::string(FTQ_SIM_BINARY) + " --interactive --speed 4; echo EXIT=$?; stty -a | tr \" "
                                         "\" \"\\n\" | grep -x -e icanon -e echo "
                                         "-e -icanon -e -echo | tr \"\\n\" \" \"; echo; sleep 30");
    ASSERT_TRUE(t.private_server()) << "no folder for the tmux socket";
    ASSERT_TRUE(t.wait_for("Ctrl-C       interrupt ftq")) << t.screen();
    EXPECT_NE(std::system(("tmux has-session -t " + t.name() + " 2>/dev/null").c_str()), 0)
        << "the session runs on the shared default tmux server";
    ASSERT_TRUE(t.wait_for("[panel LEDs: LED_ALL_OFF]")) << t.screen();
    t.keys("Up");
    ASSERT_TRUE(t.wait_for("key UP is pressed")) << t.screen();
    EXPECT_TRUE(t.wait_for("[panel LEDs: LED_CHANNEL_FUNC_ON]"));
    t.keys("e");
    ASSERT_TRUE(t.wait_for("key ENTER is up")) << t.screen();
    t.keys("m");
    ASSERT_TRUE(t.wait_for("key MENU is pressed")) << t.screen();
    ASSERT_TRUE(t.wait_for(u8"第2步:网络状态")) << t.screen();
    t.keys("Enter");
    ASSERT_TRUE(t.wait_for(u8"第3步:")) << t.screen();
    // The clock test prints as it goes, so its interrupt handler is surely
    // in force once its first reading shows; it runs for 0.75 s of wall time.
    ASSERT_TRUE(t.wait_for(u8"时钟时间")) << t.screen();
    t.keys("C-c");
    ASSERT_TRUE(t.wait_for("EXIT=130")) << t.screen();
    std::string screen = t.screen();
    EXPECT_NE(screen.find("read rtc successfully 0 times : failed 0 times"), std::string::npos)
        << screen;
    EXPECT_TRUE(t.wait_for("\nicanon echo")) << "the terminal's line mode and echo must be back:\n"
                                             << t.screen();
#endif
}

} // namespace
