// The line report over the store: boards tested, the pass rate, failures by
// step as a Pareto, disks by model, the boards that failed with their disk
// serials, and the pass rate hour by hour; as text or as one HTML page.
#pragma once

#include <string>
#include <vector>

struct sqlite3;

namespace ftqrecord {

struct LineReport {
    std::string since; // empty: everything stored
    long tested = 0;   // whole runs that reached the summary
    long passed = 0;
    long incomplete = 0; // whole runs the capture ends before the summary
    struct Count {
        std::string name;
        long count = 0;
    };
    std::vector<Count> pareto; // failures by step, most frequent first
    std::vector<Count> models; // disks by model
    struct FailedBoard {
        std::string when; // the board's clock at the RTC step, or when stored
        std::string source;
        std::string steps;
        std::vector<std::string> serials;
    };
    std::vector<FailedBoard> failures;
    struct Hour {
        std::string hour; // "YYYY-MM-DD HH"
        long tested = 0;
        long passed = 0;
    };
    std::vector<Hour> hours;
};

// `since` is a date ("2026-12-08") or a time ("2026-12-08 14:00:00").
bool valid_since(const std::string &since);
LineReport make_report(sqlite3 *db, const std::string &since);
std::string report_text(const LineReport &r);
std::string report_html(const LineReport &r);

} // namespace ftqrecord
