// ftq-record on a line's day: the parse rate on a capture of 10,000 whole
// runs made with the simulated board, the tool's peak memory as the capture
// grows, and the time to store 10,000 records. Medians of repeated runs.
#include "record/parser.h"
#include "record/store.h"
#include "sim/harness/harness.h"
#include "sim/harness/session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double cpu_seconds() {
    struct rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The console bytes of every catalog scenario that runs the whole test to
// its summary, as a station's terminal logs them (CR LF).
std::vector<std::string> whole_runs() {
    std::vector<std::string> runs;
    std::vector<std::string> names;
    if (DIR *dir = opendir(sim::catalog_dir().c_str())) {
        while (dirent *e = readdir(dir)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
                names.push_back(n);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        sim::Scenario scenario = sim::Scenario::from_file(sim::catalog_dir() + "/" + n);
        sim::Session s(scenario);
        s.run_ftq(sim::scenario_args(scenario));
        std::string raw;
        for (const auto &w : s.kernel->console())
            for (char c : w.bytes) {
                if (c == '\n')
                    raw += '\r';
                raw += c;
            }
        auto records = ftqrecord::parse_records(raw);
        if (records.size() == 1 && records[0].verdict &&
            (std::string(records[0].verdict) == "pass" ||
             std::string(records[0].verdict) == "fail"))
            runs.push_back("U-Boot 2010.06 (Mar 02 2012 - 10:12:01)\r\n# ftq\r\n" + raw);
    }
    return runs;
}

std::string day(const std::vector<std::string> &runs, size_t count) {
    std::string capture;
    for (size_t i = 0; i < count; ++i)
        capture += runs[i % runs.size()];
    return capture;
}

// Reads a capture the way `ftq-record parse` does (1 MiB at a time, each
// record written out as JSON) and prints the process's peak resident size.
int peak_of(const char *file) {
    FILE *f = std::fopen(file, "rb");
    if (f == nullptr)
        return 2;
    std::string out;
    ftqrecord::Parser p(file, [&](const ftqrecord::Record &r) {
        out.clear();
        ftqrecord::write_json(r, out);
    });
    std::vector<char> buf(1 << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        p.feed(buf.data(), n);
    p.finish();
    std::fclose(f);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            std::printf("%ld\n", std::stol(line.substr(6)));
    return 0;
}

// The peak in a process of its own: a child forked from this one would
// carry this process's peak along.
long peak_kb(const char *self, const std::string &file) {
    std::string cmd = std::string(self) + " --peak '" + file + "'";
    FILE *p = popen(cmd.c_str(), "r");
    long kb = -1;
    if (p == nullptr || std::fscanf(p, "%ld", &kb) != 1)
        kb = -1;
    if (p)
        pclose(p);
    return kb;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--peak")
        return peak_of(argv[2]);
    // The machine may be shared: the load says how far wall time is to be trusted.
    if (FILE *load = std::fopen("/proc/loadavg", "r")) {
        char text[128] = {};
        if (std::fgets(text, sizeof text, load))
            std::printf("load average at the start: %s", text);
        std::fclose(load);
    }
    const std::vector<std::string> runs = whole_runs();
    std::printf("whole runs in the catalog: %zu\n", runs.size());

    const std::string capture = day(runs, 10000);
    const double mb = static_cast<double>(capture.size()) / 1e6;
    std::printf("capture of 10000 whole runs: %.1f MB\n", mb);

    std::vector<double> parse_only, parse_json, parse_cpu, json_cpu;
    std::vector<ftqrecord::Record> records;
    for (int rep = 0; rep < 5; ++rep) {
        size_t n = 0;
        size_t bytes = 0;
        auto t = Clock::now();
        double c = cpu_seconds();
        {
            ftqrecord::Parser p("day.log", [&](const ftqrecord::Record &) { ++n; });
            for (size_t at = 0; at < capture.size(); at += 1 << 20)
                p.feed(capture.data() + at, std::min<size_t>(1 << 20, capture.size() - at));
            p.finish();
        }
        parse_only.push_back(mb / seconds_since(t));
        parse_cpu.push_back(mb / (cpu_seconds() - c));
        t = Clock::now();
        c = cpu_seconds();
        {
            std::string json;
            ftqrecord::Parser p("day.log", [&](const ftqrecord::Record &r) {
                json.clear();
                ftqrecord::write_json(r, json);
                bytes += json.size();
            });
            for (size_t at = 0; at < capture.size(); at += 1 << 20)
                p.feed(capture.data() + at, std::min<size_t>(1 << 20, capture.size() - at));
            p.finish();
        }
        parse_json.push_back(mb / seconds_since(t));
        json_cpu.push_back(mb / (cpu_seconds() - c));
        if (n != 10000)
            std::printf("error: %zu records instead of 10000\n", n);
    }
    std::printf("parse, records built (median of 5): %.1f MB/s wall, %.1f MB per CPU second\n",
                median(parse_only), median(parse_cpu));
    std::printf("parse, records written as JSON (median of 5): %.1f MB/s wall, %.1f MB per CPU "
                "second\n",
                median(parse_json), median(json_cpu));

    records = ftqrecord::parse_records(capture, "day.log");
    std::vector<double> store_s, store_cpu;
    for (int rep = 0; rep < 5; ++rep) {
        const std::string db = "/tmp/ftq-record-bench.db";
        std::remove(db.c_str());
        auto t = Clock::now();
        double c = cpu_seconds();
        size_t added = 0;
        {
            ftqrecord::Store s(db);
            s.begin();
            for (const auto &r : records)
                added += s.add(r);
            s.commit();
        }
        store_s.push_back(seconds_since(t));
        store_cpu.push_back(cpu_seconds() - c);
        if (added != records.size())
            std::printf("error: %zu of %zu records stored\n", added, records.size());
        std::remove(db.c_str());
    }
    std::printf("store of %zu records (median of 5): %.2f s wall, %.2f s CPU\n", records.size(),
                median(store_s), median(store_cpu));

    for (size_t count : {1000, 10000, 40000}) {
        const std::string file = "/tmp/ftq-record-bench.log";
        {
            std::ofstream out(file, std::ios::binary);
            for (size_t i = 0; i < count; ++i)
                out << runs[i % runs.size()];
        }
        std::vector<double> peaks;
        for (int rep = 0; rep < 3; ++rep)
            peaks.push_back(static_cast<double>(peak_kb(argv[0], file)));
        std::printf("parse of %zu runs from a file: peak resident %.0f kB (median of 3)\n", count,
                    median(peaks));
        std::remove(file.c_str());
    }
    return 0;
}
