#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace sweep {

std::string gb(const std::string &utf8) {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("this system cannot convert to GB2312");
    std::string out(utf8.size() * 2 + 8, '\0');
    char *in = const_cast<char *>(utf8.data()), *o = out.data();
    size_t in_left = utf8.size(), o_left = out.size();
    size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1))
        throw std::runtime_error("not GB2312 text: " + utf8);
    out.resize(out.size() - o_left);
    return out;
}

double seconds(sim::Time t) {
    return static_cast<double>(t) / sim::kSecond;
}

bool wanted(const std::string &name, const std::vector<std::string> &only) {
    return only.empty() || std::any_of(only.begin(), only.end(), [&](const std::string &o) {
               return name.find(o) != std::string::npos;
           });
}

std::vector<Subject> catalog(const std::vector<std::string> &only) {
    std::vector<std::filesystem::path> files;
    for (const auto &f : std::filesystem::directory_iterator(sim::catalog_dir()))
        if (f.path().extension() == ".json" && wanted(f.path().stem().string(), only))
            files.push_back(f.path());
    std::sort(files.begin(), files.end());
    std::vector<Subject> out;
    for (const auto &f : files) {
        sim::Scenario s = sim::Scenario::from_file(f.string());
        out.push_back({f.stem().string(), s, sim::scenario_args(s)});
    }
    return out;
}

Run run(const Subject &subject, sim::SessionOptions options) {
    options.record_calls = true;
    auto session = std::make_unique<sim::Session>(subject.scenario, options);
    session->run_ftq(subject.args);
    return session;
}

// As the program reads "-o N": one or two leading digits, a test from 1 to 11.
int single_test_number(const Subject &subject) {
    const std::vector<std::string> &a = subject.args;
    if (a.size() != 2 || (a[0] != "-o" && a[0] != "-O"))
        return 0;
    auto digit = [&](size_t i) { return a[1].size() > i && a[1][i] >= '0' && a[1][i] <= '9'; };
    int n = 0;
    if (digit(0) && digit(1))
        n = 10 * (a[1][0] - '0') + (a[1][1] - '0');
    else if (digit(0) && a[1].size() == 1)
        n = a[1][0] - '0';
    return n >= 1 && n <= 11 ? n : 0;
}

Mode mode_of(const Subject &subject) {
    const std::vector<std::string> &a = subject.args;
    if (a.size() == 2)
        return single_test_number(subject) != 0 ? Mode::SingleTest : Mode::Other;
    if (a.size() == 1 && (a[0] == "-h" || a[0] == "--help"))
        return Mode::Other;
    return Mode::WholeRun;
}

namespace {

// The label a console write starts when it is one of the whole run's
// landmarks: "step N" for a step heading, "report", "summary", "end".
std::optional<std::string> landmark(const std::string &bytes) {
    static const std::string step = gb("第"), step_end = gb("步:");
    static const std::pair<std::string, const char *> others[] = {
        {gb("CPLD信息"), "report"}, {gb("FTQ测试结果如下"), "summary"}, {gb("测试结束"), "end"}};
    if (bytes.rfind(step, 0) == 0) {
        size_t at = bytes.find(step_end);
        if (at != std::string::npos && at > step.size())
            return "step " + bytes.substr(step.size(), at - step.size());
    }
    for (const auto &[start, label] : others)
        if (bytes.rfind(start, 0) == 0)
            return label;
    return std::nullopt;
}

} // namespace

std::vector<std::string> call_contexts(const Subject &subject, const sim::Session &run) {
    const auto &calls = run.kernel->calls();
    const auto &console = run.kernel->console();
    std::vector<std::string> out;
    enum { Start, Setup, Run } phase = Start;
    // Landmarks only move forward: keep the label of the writes seen so far.
    size_t scanned = 0;
    std::string label = "step 1";
    Mode mode = mode_of(subject);
    for (const auto &c : calls) {
        if (phase == Start) {
            out.push_back("start");
            if (c.call == "setuid")
                phase = Setup;
        } else if (phase == Setup) {
            out.push_back("setup");
            if (c.call == "pthread_create" && c.pid == 1 && mode != Mode::Other)
                phase = Run;
        } else if (mode == Mode::SingleTest) {
            out.push_back("test " + std::to_string(single_test_number(subject)));
        } else {
            for (; scanned < c.console_writes && scanned < console.size(); ++scanned)
                if (console[scanned].pid == 1)
                    if (auto l = landmark(console[scanned].bytes))
                        label = *l;
            out.push_back(label);
        }
    }
    return out;
}

Verdicts verdicts_of(const Subject &subject, const sim::Session &run) {
    Verdicts v;
    const sim::ResultRecord &r = run.record;
    const std::string text = run.out();
    auto has = [&](const char *utf8) { return text.find(gb(utf8)) != std::string::npos; };
    const std::map<std::string, bool> summary = {{"network", r.networkError == 0},
                                                 {"alarm", r.alarmError == 0},
                                                 {"rtc", r.rtcError == 0},
                                                 {"rs485", r.rs485Error == 0},
                                                 {"usb", r.usbResult == r.usbExpected}};
    int test = single_test_number(subject);
    if (mode_of(subject) == Mode::WholeRun) {
        // Any of its first lines shows that the summary ran (one of them
        // may be lost to a failed console write). Its verdicts count also
        // when its lines never reached the console: the program acts on
        // them all the same.
        v.reported = has("FTQ测试结果如下") || has("SATA口      : ");
        v.passed = summary;
    } else if (test == 10) {
        v.reported = has("测试结果如下");
        for (int chip = 1; v.reported && chip <= 2; ++chip) {
            std::string line = "Chip" + std::to_string(chip) + " ", good = gb("正常");
            size_t at = text.find(line);
            if (at != std::string::npos)
                v.passed["chip" + std::to_string(chip)] =
                    text.compare(at + line.size(), good.size(), good) == 0;
        }
    } else if (test == 4 || test == 5 || test == 6 || test == 11) {
        // A single test reports its verdict when it ran to its end: the
        // set-up passed, and the program ended normally.
        std::vector<std::string> contexts = call_contexts(subject, run);
        const char *name = test == 4   ? "rs485"
                           : test == 5 ? "alarm"
                           : test == 6 ? "rtc"
                                       : "network";
        v.reported = run.result.end == sim::RunResult::End::Exited && run.result.code == 0 &&
                     std::count(contexts.begin(), contexts.end(), "test " + std::to_string(test)) &&
                     (test != 5 || has("成功 "));
        if (v.reported)
            v.passed[name] = summary.at(name);
    }
    return v;
}

std::vector<Result> run_cases(size_t n, int jobs, const std::function<Result(size_t)> &try_case) {
    char dir_template[] = "/tmp/sweep.XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        perror("mkdtemp");
        exit(2);
    }
    auto file = [&](int w) { return std::string(dir) + "/" + std::to_string(w); };
    std::vector<pid_t> workers;
    for (int w = 0; w < jobs; ++w) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            exit(2);
        }
        if (pid == 0) {
            // Each result is a JSON line as soon as it is known.
            std::ofstream out(file(w));
            for (size_t i = static_cast<size_t>(w); i < n; i += static_cast<size_t>(jobs)) {
                Result r = try_case(i);
                out << i << " "
                    << nlohmann::json{{"applied", r.applied},
                                      {"broken", r.broken},
                                      {"by_design", r.by_design},
                                      {"handler", r.handler}}
                           .dump()
                    << std::endl;
            }
            _exit(out ? 0 : 1);
        }
        workers.push_back(pid);
    }
    bool failed = false;
    for (pid_t pid : workers) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "sweep: a worker ended abnormally (status %d)\n", status);
            failed = true;
        }
    }
    std::vector<Result> results(n);
    size_t missing = n;
    std::vector<bool> seen(n, false);
    for (int w = 0; w < jobs; ++w) {
        std::ifstream in(file(w));
        size_t i;
        std::string line;
        while (in >> i && std::getline(in, line) && i < n && !seen[i]) {
            nlohmann::json j = nlohmann::json::parse(line);
            results[i] = {j.at("applied").get<bool>(),
                          j.at("broken").get<std::vector<std::string>>(),
                          j.at("by_design").get<std::string>(), j.at("handler").get<std::string>()};
            seen[i] = true;
            --missing;
        }
        unlink(file(w).c_str());
    }
    rmdir(dir);
    if (failed || missing > 0) {
        fprintf(stderr, "sweep: %zu cases have no result\n", missing);
        exit(2);
    }
    return results;
}

size_t report(const char *cases, const std::vector<Result> &results, bool verbose,
              const std::function<std::string(size_t)> &label) {
    size_t tried = 0, broken = 0, not_applied = 0;
    std::map<std::string, size_t> handlers;
    std::vector<std::string> unexpected;
    std::map<std::string, std::vector<std::string>> by_reason;
    for (size_t i = 0; i < results.size(); ++i) {
        const Result &r = results[i];
        if (!r.applied) {
            ++not_applied;
            continue;
        }
        ++tried;
        if (!r.handler.empty())
            ++handlers[r.handler];
        if (r.broken.empty())
            continue;
        ++broken;
        std::string line = label(i);
        for (const auto &why : r.broken)
            line += "\n      " + why;
        (r.by_design.empty() ? unexpected : by_reason[r.by_design]).push_back(line);
    }
    printf("%s tried: %zu, broke a rule: %zu (unexpected %zu, by design %zu)\n", cases, tried,
           broken, unexpected.size(), broken - unexpected.size());
    if (not_applied > 0)
        printf("%s whose fault did not fire (the run took another way): %zu\n", cases, not_applied);
    if (!handlers.empty()) {
        printf("handler in force:");
        for (const auto &[name, n] : handlers)
            printf(" %s %zu;", name.c_str(), n);
        printf("\n");
    }
    if (!unexpected.empty())
        printf("\nunexpected breaks:\n");
    for (const auto &l : unexpected)
        printf("  %s\n", l.c_str());
    for (const auto &[reason, lines] : by_reason) {
        printf("\nby design (%zu %s): %s\n", lines.size(), cases, reason.c_str());
        for (size_t i = 0; i < lines.size() && (verbose || i < 8); ++i)
            printf("  %s\n", lines[i].c_str());
        if (!verbose && lines.size() > 8)
            printf("  ... and %zu more (--verbose lists them all)\n", lines.size() - 8);
    }
    return unexpected.size();
}

} // namespace sweep
