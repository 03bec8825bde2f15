// ftq-record: the records of the line's ftq runs, read from console
// captures; a store of them and the line report.
#include "record/parser.h"
#include "record/report.h"
#include "record/store.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

constexpr const char *VERSION = "0.1.0";

// Exit statuses scripts can rely on.
constexpr int OK = 0;
constexpr int NO_RUN = 1;
constexpr int FAILURE = 2;

struct Totals {
    int status = OK;
    size_t runs = 0;
};

// Reads one capture through a parser whose records go to `sink`. A file
// that cannot be read is named on standard error; one that holds no run
// is said so there.
void read_capture(const std::string &name, const ftqrecord::Parser::Sink &sink, Totals &t) {
    FILE *f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (f == nullptr) {
        std::cerr << "ftq-record: cannot read " << name << ": " << std::strerror(errno) << "\n";
        t.status = FAILURE;
        return;
    }
    ftqrecord::Parser parser(name, sink);
    std::vector<char> buf(1 << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        parser.feed(buf.data(), n);
    bool failed = std::ferror(f) != 0;
    int err = errno;
    if (f != stdin)
        std::fclose(f);
    if (failed) {
        std::cerr << "ftq-record: cannot read " << name << ": " << std::strerror(err) << "\n";
        t.status = FAILURE;
        return;
    }
    parser.finish();
    t.runs += parser.runs();
    if (parser.runs() == 0) {
        std::cerr << "ftq-record: no ftq run in " << (name == "-" ? "standard input" : name)
                  << "\n";
        if (t.status == OK)
            t.status = NO_RUN;
    }
}

int parse(const std::vector<std::string> &files) {
    Totals t;
    std::string out;
    auto sink = [&](const ftqrecord::Record &r) {
        out.clear();
        ftqrecord::write_json(r, out);
        out += '\n';
        std::fwrite(out.data(), 1, out.size(), stdout);
    };
    for (const std::string &f : files)
        read_capture(f, sink, t);
    if (std::fflush(stdout) != 0) {
        std::cerr << "ftq-record: cannot write the records: " << std::strerror(errno) << "\n";
        return FAILURE;
    }
    return t.status;
}

int store(const std::string &db, const std::vector<std::string> &files) {
    Totals t;
    size_t added = 0;
    try {
        ftqrecord::Store s(db);
        s.begin();
        auto sink = [&](const ftqrecord::Record &r) { added += s.add(r) ? 1 : 0; };
        for (const std::string &f : files)
            read_capture(f, sink, t);
        s.commit();
    } catch (const ftqrecord::StoreError &e) {
        std::cerr << "ftq-record: " << e.what() << "\n";
        return FAILURE;
    }
    std::cout << "ftq-record: " << t.runs << " runs read, " << added << " stored, "
              << t.runs - added << " stored before\n";
    return t.status;
}

int report(const std::string &db, const std::string &since, const std::string &html) {
    if (!since.empty() && !ftqrecord::valid_since(since)) {
        std::cerr << "ftq-record: --since " << since
                  << ": not a date (YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\")\n";
        return FAILURE;
    }
    std::ifstream exists(db);
    if (!exists) {
        std::cerr << "ftq-record: cannot read " << db << ": " << std::strerror(errno) << "\n";
        return FAILURE;
    }
    try {
        ftqrecord::Store s(db);
        ftqrecord::LineReport r = ftqrecord::make_report(s.db(), since);
        if (!html.empty()) {
            std::ofstream page(html, std::ios::binary | std::ios::trunc);
            page << ftqrecord::report_html(r);
            page.close();
            if (!page) {
                std::cerr << "ftq-record: cannot write " << html << "\n";
                return FAILURE;
            }
        }
        std::cout << ftqrecord::report_text(r) << std::flush;
    } catch (const std::exception &e) {
        std::cerr << "ftq-record: " << db << ": " << e.what() << "\n";
        return FAILURE;
    }
    return std::cout ? OK : FAILURE;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"ftq-record: the records of ftq runs read from console captures of the line, "
                 "a store of them and the line report.\n"
                 "Exit status: 0 done; 1 a capture held no ftq run; 2 a file could not be "
                 "read or written, or a bad command line.",
                 "ftq-record"};
    // The subcommands' own options, so that --help (and the man page made
    // from it) shows the whole tool.
    app.footer("Commands: ftq-record parse [FILE...]; ftq-record store DB [FILE...]; "
               "ftq-record report DB [--since DATE] [--html FILE], where --since counts only "
               "the runs tested from DATE on (YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\", the "
               "board's clock) and --html also writes the report as one self-contained HTML "
               "page to FILE. ftq-record COMMAND --help tells more about each.");
    app.set_version_flag("--version", std::string("ftq-record ") + VERSION);
    app.require_subcommand(1);

    std::vector<std::string> files;
    auto *parse_cmd = app.add_subcommand(
        "parse", "Write one JSON record per ftq run found in the captures, one per line. "
                 "Captures may be GB2312 or UTF-8; no file, or -, is standard input.");
    parse_cmd->add_option("FILE", files, "console captures");

    std::string db;
    std::vector<std::string> store_files;
    auto *store_cmd = app.add_subcommand(
        "store", "Add the records of the captures to the SQLite database DB (created when "
                 "missing). A run stored before is not stored again.");
    store_cmd->add_option("DB", db, "the database")->required();
    store_cmd->add_option("FILE", store_files, "console captures; none, or -, is standard input");

    std::string report_db, since, html;
    auto *report_cmd = app.add_subcommand(
        "report", "Print the line report of DB: boards tested, the pass rate, failures by "
                  "step, disks by model and the boards that failed.");
    report_cmd->add_option("DB", report_db, "the database")->required();
    report_cmd->add_option("--since", since,
                           "only runs tested from this date or time on "
                           "(YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\", the board's clock)");
    report_cmd->add_option("--html", html,
                           "also write the report as one self-contained HTML page to FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : FAILURE;
    }

    if (*parse_cmd)
        return parse(files.empty() ? std::vector<std::string>{"-"} : files);
    if (*store_cmd)
        return store(db, store_files.empty() ? std::vector<std::string>{"-"} : store_files);
    return report(report_db, since, html);
}
