#include "sim/harness/result.h"

#include "sim/harness/harness.h"
#include "sim/harness/session.h"

#include <csignal>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

const char *const kSummaryHeading = "FTQ测试结果如下:";
const char *const kPassed = "测试结果    : OK ";
const char *const kHyphens = "----------------------------------------------------------------";
const char *const kFailure = "error occured!";

// The summary's error lines in the order the program prints them, and the
// name each one has in the result.
const struct {
    const char *line;
    const char *name;
} kFailureLines[] = {
    {"网络状态    : ", "network"}, {"485口       : ", "rs485"}, {"报警口      : ", "alarm"},
    {"Rtc时钟     : ", "rtc"},     {"USB口       : ", "usb"},
};

bool starts_with(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string signal_name(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGKILL:
        return "SIGKILL";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGALRM:
        return "SIGALRM";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    default:
        return "signal " + std::to_string(sig);
    }
}

nlohmann::json exit_of(const RunResult &r) {
    switch (r.end) {
    case RunResult::End::Exited:
        return {{"status", r.code}};
    case RunResult::End::Signalled:
        return {{"signal", signal_name(r.code)}};
    default:
        return {{"stalled", true}};
    }
}

// The verdict and the error lines of the last summary printed: a summary
// that closed without its OK line failed even when it named no error (the
// USB check of the verdict and of the error lines differ on some boards).
// A summary cut short before either is no verdict.
void summary(const std::string &out, nlohmann::json &result) {
    result["verdict"] = nullptr;
    result["failed"] = nlohmann::json::array();
    size_t at = out.rfind(std::string(kSummaryHeading) + "\n");
    if (at == std::string::npos)
        return;
    std::istringstream lines(out.substr(at));
    std::string line;
    std::getline(lines, line);
    nlohmann::json failed = nlohmann::json::array();
    while (std::getline(lines, line)) {
        if (starts_with(line, kPassed)) {
            result["verdict"] = "pass";
            return;
        }
        if (line == kHyphens) {
            result["verdict"] = "fail";
            break;
        }
        if (line.find(kFailure) == std::string::npos)
            continue;
        for (const auto &f : kFailureLines)
            if (starts_with(line, f.line))
                failed.push_back(f.name);
    }
    if (!failed.empty())
        result["verdict"] = "fail";
    result["failed"] = failed;
}

// The numbered steps of a whole run, each from its heading to whatever
// comes next: the next heading, after the last step the board information
// report, then the summary, or the end of the run.
nlohmann::json steps(const Kernel &k, const RunResult &r, const std::vector<std::string> &texts) {
    nlohmann::json out = nlohmann::json::array();
    const auto &writes = k.console();
    int last = 0;
    auto close_last = [&](Time t) {
        if (!out.empty() && !out.back().contains("duration"))
            out.back()["duration"] =
                static_cast<double>(t - out.back()["t_us"].get<Time>()) / kSecond;
    };
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string &text = texts[i];
        int step = 0;
        for (int n = 1; n <= 7; ++n)
            if (starts_with(text, "第" + std::to_string(n) + "步:"))
                step = n;
        if (step != 0) {
            close_last(writes[i].t);
            // The title follows the heading in the same write or, when the
            // heading stands alone, in the next one.
            std::string title = text.substr(text.find(':') + 1);
            if (title.empty() && i + 1 < texts.size())
                title = texts[i + 1];
            title = title.substr(0, title.find('\n'));
            out.push_back({{"step", step},
                           {"title", title},
                           {"start", static_cast<double>(writes[i].t) / kSecond},
                           {"t_us", writes[i].t}});
            last = step;
        } else if (last == 7 &&
                   (starts_with(text, "CPLD") || text.find("FTQ") != std::string::npos)) {
            close_last(writes[i].t);
        }
    }
    close_last(r.finished_at);
    for (auto &s : out)
        s.erase("t_us");
    return out;
}

} // namespace

nlohmann::json run_result(const Session &session, const std::string &scenario,
                          const std::vector<std::string> &args) {
    const ResultRecord &rec = session.record;
    nlohmann::json result = {
        {"scenario", scenario.empty() ? nlohmann::json() : nlohmann::json(scenario)},
        {"args", args},
        {"exit", exit_of(session.result)},
        {"record",
         {{"usbResult", rec.usbResult},
          {"sataResult", rec.sataResult},
          {"networkError", rec.networkError},
          {"rs485Error", rec.rs485Error},
          {"alarmError", rec.alarmError},
          {"rtcError", rec.rtcError},
          {"expectedUsbCount", rec.usbExpected}}},
    };
    // The summary is read from standard output converted as one stream: a
    // console that takes part of a write cuts characters between writes.
    // The step headings are looked for write by write.
    std::vector<std::string> texts;
    std::string out;
    for (const auto &w : session.kernel->console()) {
        texts.push_back(gb2312_to_utf8(w.bytes));
        if (w.fd == 1)
            out += w.bytes;
    }
    summary(gb2312_to_utf8(out), result);
    result["steps"] = steps(*session.kernel, session.result, texts);
    result["virtualSeconds"] = static_cast<double>(session.result.finished_at) / kSecond;
    return result;
}

} // namespace sim
