#include "sweep/sweep.h"

#include "sim/harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace sweep {

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
std::optional<std::string> landmark(const std::string &gb2312) {
    static const std::pair<std::string, const char *> others[] = {
        {"CPLD信息", "report"}, {"FTQ测试结果如下", "summary"}, {"测试结束", "end"}};
    std::string text = sim::gb2312_to_utf8(gb2312);
    size_t at = text.find("步:");
    if (text.rfind("第", 0) == 0 && at != std::string::npos && at > 3)
        return "step " + text.substr(3, at - 3);
    for (const auto &[start, label] : others)
        if (text.rfind(start, 0) == 0)
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
    const std::string text = sim::gb2312_to_utf8(run.out());
    auto has = [&](const char *utf8) { return text.find(utf8) != std::string::npos; };
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
            std::string line = "Chip" + std::to_string(chip) + " ";
            size_t at = text.find(line);
            if (at != std::string::npos)
                v.passed["chip" + std::to_string(chip)] =
                    text.compare(at + line.size(), 6, "正常") == 0;
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

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Result, applied, broken, by_design, handler)

std::vector<Result> run_cases(size_t n, int jobs, const std::function<Result(size_t)> &try_case) {
    std::vector<std::pair<pid_t, FILE *>> workers;
    for (size_t w = 0; w < static_cast<size_t>(jobs); ++w) {
        FILE *out = tmpfile();
        fflush(stdout);
        pid_t pid = out != nullptr ? fork() : -1;
        if (pid < 0) {
            perror("sweep: starting a worker");
            exit(2);
        }
        if (pid == 0) {
            // A JSON line for each result, by the case's number.
            for (size_t i = w; i < n; i += static_cast<size_t>(jobs))
                fprintf(out, "%zu %s\n", i, nlohmann::json(try_case(i)).dump().c_str());
            _exit(fclose(out) == 0 ? 0 : 1);
        }
        workers.push_back({pid, out});
    }
    // Each worker's lines come in its cases' order, and all of them.
    std::vector<Result> results(n);
    bool failed = false;
    char *line = nullptr, *rest = nullptr;
    size_t size = 0;
    for (size_t w = 0; w < workers.size(); ++w) {
        int status = 0;
        failed |= waitpid(workers[w].first, &status, 0) < 0 || status != 0;
        rewind(workers[w].second);
        size_t i = w;
        for (;
             i < n && getline(&line, &size, workers[w].second) > 0 && strtoul(line, &rest, 10) == i;
             i += workers.size())
            results[i] = nlohmann::json::parse(rest);
        failed |= i < n;
        fclose(workers[w].second);
    }
    free(line);
    if (failed) {
        fprintf(stderr, "sweep: a worker failed, some cases have no result\n");
        exit(2);
    }
    return results;
}

int report(const char *cases, const std::vector<Result> &results, bool verbose,
           const std::function<std::string(size_t)> &label) {
    size_t tried = 0, broken = 0;
    std::map<std::string, size_t> handlers;
    std::map<std::string, std::vector<std::string>> by_reason; // "": unexpected
    for (size_t i = 0; i < results.size(); ++i) {
        const Result &r = results[i];
        tried += r.applied;
        if (!r.handler.empty())
            ++handlers[r.handler];
        if (!r.applied || r.broken.empty())
            continue;
        ++broken;
        std::string line = label(i);
        for (const auto &why : r.broken)
            line += "\n      " + why;
        by_reason[r.by_design].push_back(line);
    }
    size_t unexpected = by_reason.count("") ? by_reason[""].size() : 0;
    printf("%s tried: %zu, broke a rule: %zu (unexpected %zu, by design %zu)\n", cases, tried,
           broken, unexpected, broken - unexpected);
    if (tried < results.size())
        printf("%s whose fault did not fire (the run took another way): %zu\n", cases,
               results.size() - tried);
    if (!handlers.empty()) {
        printf("handler in force:");
        for (const auto &[name, n] : handlers)
            printf(" %s %zu;", name.c_str(), n);
        printf("\n");
    }
    for (const auto &[reason, lines] : by_reason) {
        if (reason.empty())
            printf("\nunexpected breaks:\n");
        else
            printf("\nby design (%zu %s): %s\n", lines.size(), cases, reason.c_str());
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!reason.empty() && !verbose && i == 8) {
                printf("  ... and %zu more (--verbose lists them all)\n", lines.size() - 8);
                break;
            }
            printf("  %s\n", lines[i].c_str());
        }
    }
    return unexpected == 0 ? 0 : 1;
}

} // namespace sweep
