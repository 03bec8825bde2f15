// ftq-sim as scripts use it: its output streams and exit statuses.
#include "simrun.h"
#include "trace_doc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct SimCall {
    int status;
    std::string out;
    std::string err;
};

[[maybe_unused]] std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// CTest runs the cases of this file side by side, each in its own process:
// the process number keeps their files apart.
std::string temp_path(const std::string &name) {
    return testing::TempDir() + "ftq-sim-test-" + std::to_string(getpid()) + "-" + name;
}

#ifdef FTQ_SIM_BINARY

// `out` is where standard output goes: a file of the test's, or /dev/full.
SimCall ftq_sim(const std::string &args, std::string out = "") {
    if (out.empty())
        out = temp_path("out");
    std::string err = temp_path("err");
    std::string cmd =
        std::string(FTQ_SIM_BINARY) + " " + args + " > " + out + " 2> " + err + " < /dev/null";
    int status = std::system(cmd.c_str());
    // /dev/full reads as an endless run of zeros.
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out == "/dev/full" ? "" : slurp(out),
            slurp(err)};
}

// Scripts rely on the exit status: ftq's own, 2 for a bad command line or
// scenario (a malformed one, named with its field, is ScenarioFiles'; 128 +
// the signal that ended ftq is the result's test).
TEST(FtqSim, ExitStatusesAndErrors) {
    EXPECT_EQ(ftq_sim("--help").status, 0);
    SimCall bad = ftq_sim("--frobnicate");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown option '--frobnicate'"), std::string::npos);
    EXPECT_EQ(ftq_sim("--scenario /nonexistent/board.json").status, 2);
    EXPECT_EQ(ftq_sim("--scenario startup-no-vexio").status, 255);
}

TEST(FtqSim, RawOutputIsTheProgramsOwnBytesAndTheReportGoesToStandardError) {
    SimCall r = ftq_sim("--raw -- -o 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " 设备类型 Type  1 \n请输入正确的测试序号.(1~11)");
    EXPECT_NE(r.err.find("ftq ended: exit status 0"), std::string::npos);
}

TEST(FtqSim, TheTraceIsOneJsonObjectPerLine) {
    std::string trace = temp_path("trace.jsonl");
    SimCall r = ftq_sim("--trace " + trace + " -- -o 2");
    ASSERT_EQ(r.status, 0);
    std::ifstream in(trace);
    int lines = 0, buzzer = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        auto j = nlohmann::json::parse(line);
        ASSERT_TRUE(j.contains("t_us") && j.contains("dev") && j.contains("ev"));
        buzzer += j["ev"] == "buzzer_on";
    }
    EXPECT_GT(lines, 5);
    EXPECT_EQ(buzzer, 3);
}

TEST(FtqSim, CommandLineConventions) {
    SimCall version = ftq_sim("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("ftq-sim 0\\.1\\.0( \\(git [^)]+\\))?\n")))
        << version.out;

    // A catalog name with its .json, and a value joined with =.
    SimCall joined = ftq_sim("--scenario=healthy-type2.json");
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, qa::source_file("scenarios/healthy-type2.expected"));

    // qa/data/ftq-sim-usage.json: command lines refused, and what is said.
    for (const auto &u : nlohmann::json::parse(qa::source_file("qa/data/ftq-sim-usage.json"))) {
        const std::string args = u.at("args"), says = u.at("says");
        SimCall r = ftq_sim(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(says), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
    SimCall ftq_help = ftq_sim("--raw -- --help");
    EXPECT_NE(ftq_help.out.find("ftq -h or ftq --help for help information"), std::string::npos);

    // --speed means nothing to a run in virtual time: said, and the run goes on.
    SimCall speed = ftq_sim("--speed 2 -- -o 0");
    EXPECT_EQ(speed.status, 0);
    EXPECT_EQ(speed.err, "ftq-sim: warning: --speed has no effect without --interactive\n");
}

nlohmann::json result_of(const std::string &args) {
    SimCall r = ftq_sim("--result - " + args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_NE(r.err.find("ftq ended:"), std::string::npos)
        << "the transcript goes to standard error when the result has standard output";
    return nlohmann::json::parse(r.out);
}

TEST(FtqSim, TheResultTellsAFailedBoardFromAPassedOne) {
    nlohmann::json healthy = result_of("--scenario healthy-type2");
    EXPECT_EQ(healthy["scenario"], "healthy-type2");
    EXPECT_EQ(healthy["args"], nlohmann::json::array());
    EXPECT_EQ(healthy["exit"], nlohmann::json({{"status", 0}}));
    EXPECT_EQ(healthy["verdict"], "pass");
    EXPECT_EQ(healthy["failed"], nlohmann::json::array());
    EXPECT_EQ(healthy["record"], nlohmann::json({{"usbResult", 3},
                                                 {"sataResult", 9},
                                                 {"networkError", 0},
                                                 {"rs485Error", 0},
                                                 {"alarmError", 0},
                                                 {"rtcError", 0},
                                                 {"expectedUsbCount", 3}}));
    EXPECT_DOUBLE_EQ(healthy["virtualSeconds"].get<double>(), 32.4);
    // The steps, their titles as printed, and where the time went
    // (scenarios/healthy-type2.expected shows the same table).
    const auto &steps = healthy["steps"];
    ASSERT_EQ(steps.size(), 7u) << steps.dump();
    const char8_t *titles[] = {
        u8"按键测试",  u8"网络状态",     u8"报警量测试，请确认已经连接好报警测试装置", u8"实时时钟",
        u8"USB口测试", u8"SATA硬盘测试", u8"请确认已经正确连接好485测试装置"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(steps[i]["step"], i + 1);
        EXPECT_EQ(steps[i]["title"], reinterpret_cast<const char *>(titles[i]));
    }
    EXPECT_DOUBLE_EQ(steps[0]["start"].get<double>(), 2.0);
    EXPECT_DOUBLE_EQ(steps[6]["start"].get<double>() + steps[6]["duration"].get<double>(), 30.4)
        << "the last step ends where the board information report starts";

    nlohmann::json all = result_of("--scenario fail-all");
    EXPECT_EQ(all["verdict"], "fail");
    EXPECT_EQ(all["failed"], nlohmann::json({"network", "rs485", "alarm", "rtc", "usb"}));

    // Fails on the verdict's USB check with no error line to show for it.
    nlohmann::json quiet = result_of("--scenario fail-usb-type6-no-line");
    EXPECT_EQ(quiet["verdict"], "fail");
    EXPECT_EQ(quiet["failed"], nlohmann::json::array());

    nlohmann::json single = result_of("-- -o 6");
    EXPECT_EQ(single["scenario"], nullptr);
    EXPECT_EQ(single["args"], nlohmann::json({"-o", "6"}));
    EXPECT_EQ(single["verdict"], nullptr);
    EXPECT_EQ(single["steps"], nlohmann::json::array());

    SimCall interrupted = ftq_sim("--scenario panel-sigint --result -");
    EXPECT_EQ(interrupted.status, 130);
    EXPECT_EQ(nlohmann::json::parse(interrupted.out)["exit"],
              nlohmann::json({{"signal", "SIGINT"}}));
}

// Nothing is lost without a word: a full disk, a bad path or a closed
// standard output ends ftq-sim with a status of its own, 74, naming the
// file and the reason, and what could be written is whole.
TEST(FtqSim, AnOutputThatCannotBeWrittenIsAFailure) {
    const std::string full = ": No space left on device";
    for (const auto &[option, what] : {std::pair{"--trace", "the trace"},
                                       {"--vcd", "the value change dump"},
                                       {"--result", "the result"}}) {
        SimCall r = ftq_sim(std::string(option) + " /dev/full -- -o 2");
        EXPECT_EQ(r.status, 74) << option;
        EXPECT_NE(r.err.find(std::string("ftq-sim: cannot write ") + what + " to /dev/full" + full),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.out.find("ftq ended: exit status 0"), std::string::npos)
            << "the transcript is still written whole";
    }
    struct {
        const char *args;
        const char *what;
    } const to_stdout[] = {{"-- -o 0", "the transcript"}, {"--raw -- -o 0", "the transcript"},
                           {"--list", "the list"},        {"--help", "the help text"},
                           {"--version", "the version"},  {"--result - -- -o 0", "the result"}};
    for (const auto &c : to_stdout) {
        SimCall r = ftq_sim(c.args, "/dev/full");
        EXPECT_EQ(r.status, 74) << c.args;
        EXPECT_NE(r.err.find(std::string("ftq-sim: cannot write ") + c.what +
                             " to standard output" + full),
                  std::string::npos)
            << c.args << ": " << r.err;
    }

    // Every output is opened before the run: a bad path costs no run, and
    // the other outputs are not touched.
    std::string trace = temp_path("untouched.jsonl");
    std::remove(trace.c_str());
    SimCall bad = ftq_sim("--trace " + trace + " --vcd /nonexistent/board.vcd");
    EXPECT_EQ(bad.status, 74);
    EXPECT_EQ(bad.err, "ftq-sim: cannot open the value change dump file /nonexistent/board.vcd: "
                       "No such file or directory\n");
    EXPECT_EQ(bad.out, "") << "the run started";
}

// The signals that end a person's session end the run the way the board
// would (ftq gets the signal), and what was recorded is still written.
TEST(FtqSim, ASignalThatEndsAnInteractiveRunKeepsWhatWasRecorded) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        // Files of their own: the legend of the run before must not count.
        std::string id = std::to_string(sig);
        std::string out = temp_path(id + ".out"), trace = temp_path(id + ".jsonl"),
                    vcd = temp_path(id + ".vcd"), result = temp_path(id + ".json");
        int keys[2];
        ASSERT_EQ(::pipe(keys), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(keys[0], 0);
            ::close(keys[1]);
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::execl(FTQ_SIM_BINARY, FTQ_SIM_BINARY, "--interactive", "--speed", "2", "--trace",
                    trace.c_str(), "--vcd", vcd.c_str(), "--result", result.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(keys[0]);
        // The legend is written before the run's first step: then the
        // signal lands in the run. (A person's pace, so the run lasts.)
        bool started = false;
        for (int i = 0; i < 200 && !started; ++i) {
            started = slurp(out).find("Ctrl-C") != std::string::npos;
            if (!started)
                ::usleep(50000);
        }
        ASSERT_TRUE(started) << slurp(out);
        ::kill(pid, sig);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(keys[1]);
        ASSERT_TRUE(WIFEXITED(status)) << "ftq-sim itself was killed by " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);

        std::string shown = slurp(out);
        EXPECT_EQ(shown.find("\033"), std::string::npos) << "colour codes into a file";
        EXPECT_NE(
            shown.find("virtual time runs 2 virtual seconds to each second of the wall clock."),
            std::string::npos)
            << shown;
        EXPECT_NE(shown.find("ftq ended: killed by signal " + std::to_string(sig)),
                  std::string::npos);
        nlohmann::json r = nlohmann::json::parse(slurp(result));
        EXPECT_EQ(r["exit"]["signal"], sig == SIGTERM  ? "SIGTERM"
                                       : sig == SIGHUP ? "SIGHUP"
                                                       : "SIGINT");
        EXPECT_NE(slurp(trace).find("\"signal\":" + std::to_string(sig)), std::string::npos);
        EXPECT_EQ(slurp(vcd).rfind("$date", 0), 0u);
    }
}

// Every kind of trace event the simulator can record is named in
// docs/trace.md, and every signal of the value change dump: found in the
// sources, where a new kind is added.
TEST(FtqSim, TheTraceAndTheDumpAreDocumented) {
    const std::string page = qa::source_file("docs/trace.md");
    qa::TraceDoc doc(page);
    ASSERT_GT(doc.size(), 50u) << "docs/trace.md lost its table";
    static const std::regex site(R"re(trace\(\s*"(\w+)"\s*,\s*([^,)]*))re");
    static const std::regex literal(R"re("(\w+)")re");
    static const std::regex pmp_op(R"re(note\("(\w+)")re");
    int found = 0;
    for (const char *file :
         {"sim/kernel/kernel.cpp", "sim/kernel/sim_backend.cpp", "sim/models/console.h",
          "sim/models/disks.cpp", "sim/models/jmb321.cpp", "sim/models/net.cpp",
          "sim/models/panel.cpp", "sim/models/proc.cpp", "sim/models/rs485.cpp",
          "sim/models/rtc.cpp", "sim/models/usb.cpp", "sim/models/vexio.cpp"}) {
        const std::string code = qa::source_file(file);
        for (std::sregex_iterator it(code.begin(), code.end(), site), end; it != end; ++it) {
            std::string dev = (*it)[1], kind = (*it)[2];
            bool any = false;
            for (std::sregex_iterator k(kind.begin(), kind.end(), literal); k != end;
                 ++k, ++found) {
                any = true;
                EXPECT_TRUE(doc.names(dev, (*k)[1])) << file << ": " << dev << " / " << (*k)[1];
            }
            // A kind made at run time: the fault's call, or the flash operation.
            if (!any && dev == "pmp") {
                for (std::sregex_iterator k(code.begin(), code.end(), pmp_op); k != end;
                     ++k, ++found)
                    EXPECT_TRUE(doc.names(dev, (*k)[1])) << file << ": pmp / " << (*k)[1];
            } else if (!any) {
                EXPECT_TRUE(doc.names_any_kind_of(dev)) << file << ": " << dev << " / " << kind;
            }
        }
    }
    EXPECT_GT(found, 70) << "the sources were not read";
    const std::string vcd = qa::source_file("sim/tool/vcd.cpp");
    static const std::regex signal(R"re(d\.add\("(\w+)")re");
    int signals = 0;
    for (std::sregex_iterator it(vcd.begin(), vcd.end(), signal), end; it != end; ++it, ++signals)
        EXPECT_NE(page.find("`" + std::string((*it)[1]) + "`"), std::string::npos)
            << "VCD signal " << (*it)[1];
    EXPECT_EQ(signals, 15);
}

#else

TEST(FtqSim, RunsOnlyOnTheMachineItWasBuiltFor) {
    GTEST_SKIP() << "a board build cannot start another board binary under qemu-user";
}

#endif

} // namespace
