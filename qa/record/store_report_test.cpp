// The store keeps each run once; the line report's figures, as text and as
// a page that a browser renders; the tool's exit statuses.
#include "simulated.h"

#include "record/report.h"
#include "record/store.h"

#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using qa::record::Json;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/ftq-record-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

ftqrecord::Record board(const std::string &when, const char *verdict,
                        std::vector<const char *> failed, const char *serial, const char *model,
                        uint64_t offset) {
    ftqrecord::Record r;
    r.file = "line.log";
    r.offset = offset;
    r.verdict = verdict;
    r.mode = "whole";
    r.boardType = 1;
    r.usb = 2;
    r.sata = 1;
    r.failed = std::move(failed);
    ftqrecord::Disk d;
    d.node = "/dev/sda";
    d.fields = 4;
    d.serialTrimmed = serial;
    d.modelTrimmed = model;
    d.firmwareTrimmed = "CC4C";
    d.capacityGB = 931;
    r.disks.push_back(d);
    r.testedAt = when;
    return r;
}

// Five boards over two hours: three pass, two fail, one of them twice.
std::vector<ftqrecord::Record> line_day() {
    return {board("2026-12-08 09:10:00", "pass", {}, "Z1D2K7QM", "ST1000DM003", 0),
            board("2026-12-08 09:40:00", "fail", {"usb"}, "WD-1", "WDC WD10EZEX", 100),
            board("2026-12-08 10:05:00", "pass", {}, "Z1E3N8PX", "ST1000DM003", 200),
            board("2026-12-08 10:20:00", "fail", {"rtc", "usb"}, "WD-2 <&>", "WDC WD10EZEX", 300),
            board("2026-12-08 10:50:00", "pass", {}, "Z1F0QW1", "ST1000DM003", 400)};
}

long count(sqlite3 *db, const char *sql) {
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sql;
    long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
}

TEST(Store, ACaptureStoredTwiceAddsNothing) {
    TempDir dir;
    ftqrecord::Store store(dir.file("line.db"));
    for (int pass = 0; pass < 2; ++pass) {
        store.begin();
        int added = 0;
        for (ftqrecord::Record r : line_day()) {
            if (pass == 1)
                r.file = "copy-of-line.log";
            added += store.add(r);
        }
        store.commit();
        EXPECT_EQ(added, pass == 0 ? 5 : 0);
    }
    EXPECT_EQ(count(store.db(), "SELECT COUNT(*) FROM runs"), 5);
    EXPECT_EQ(count(store.db(), "SELECT COUNT(*) FROM failures"), 3);
    EXPECT_EQ(count(store.db(), "SELECT COUNT(*) FROM disks"), 5);
    EXPECT_EQ(count(store.db(),
                    "SELECT COUNT(*) FROM runs WHERE stored_at GLOB "
                    "'20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]'"),
              5)
        << "each run says when it was stored";
    // The same run at another place of its capture is another run.
    ftqrecord::Record moved = line_day()[0];
    moved.offset = 9999;
    store.begin();
    EXPECT_TRUE(store.add(moved));
    store.commit();
}

TEST(Report, FiguresAsText) {
    TempDir dir;
    ftqrecord::Store store(dir.file("line.db"));
    store.begin();
    for (const ftqrecord::Record &r : line_day())
        store.add(r);
    store.commit();

    ftqrecord::LineReport r = ftqrecord::make_report(store.db(), "");
    EXPECT_EQ(r.tested, 5);
    EXPECT_EQ(r.passed, 3);
    ASSERT_EQ(r.pareto.size(), 2u);
    EXPECT_EQ(r.pareto[0].name, "usb");
    EXPECT_EQ(r.pareto[0].count, 2);
    EXPECT_EQ(r.pareto[1].name, "rtc");
    ASSERT_EQ(r.hours.size(), 2u);
    EXPECT_EQ(r.hours[1].hour, "2026-12-08 10");
    EXPECT_EQ(r.hours[1].tested, 3);
    EXPECT_EQ(r.hours[1].passed, 2);

    const std::string text = ftqrecord::report_text(r);
    for (const char *line : {"Boards tested: 5 (3 passed, 2 failed)\n", "Pass rate:     60.0%\n",
                             "  usb                 2   66.7%  cumulative  66.7%\n",
                             "  rtc                 1   33.3%  cumulative 100.0%\n",
                             "  ST1000DM003                                   3\n",
                             "  2026-12-08 10:20:00  rtc, usb  disks: WD-2 <&>  (line.log:300)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;

    ftqrecord::LineReport later = ftqrecord::make_report(store.db(), "2026-12-08 10:00:00");
    EXPECT_EQ(later.tested, 3);
    EXPECT_EQ(later.passed, 2);
    EXPECT_TRUE(ftqrecord::valid_since("2026-12-08"));
    EXPECT_FALSE(ftqrecord::valid_since("yesterday"));
    EXPECT_FALSE(ftqrecord::valid_since("2026-13-01"));
}

// The page's elements, found through libxml2's HTML parser.
struct Page {
    htmlDocPtr doc = nullptr;
    explicit Page(const std::string &html) {
        doc = htmlReadMemory(html.data(), static_cast<int>(html.size()), "report.html", "utf-8",
                             HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
    }
    ~Page() { xmlFreeDoc(doc); }
    template <class F> void walk(xmlNodePtr n, F &&f) {
        for (; n; n = n->next) {
            if (n->type == XML_ELEMENT_NODE)
                f(n);
            walk(n->children, f);
        }
    }
    static std::string attr(xmlNodePtr n, const char *name) {
        xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(name));
        std::string s = v ? reinterpret_cast<const char *>(v) : "";
        xmlFree(v);
        return s;
    }
    static std::string text(xmlNodePtr n) {
        xmlChar *v = xmlNodeGetContent(n);
        std::string s = v ? reinterpret_cast<const char *>(v) : "";
        xmlFree(v);
        return s;
    }
    static std::string name(xmlNodePtr n) { return reinterpret_cast<const char *>(n->name); }
};

std::string line_day_html() {
    TempDir dir;
    ftqrecord::Store store(dir.file("line.db"));
    store.begin();
    for (const ftqrecord::Record &r : line_day())
        store.add(r);
    store.commit();
    return ftqrecord::report_html(ftqrecord::make_report(store.db(), ""));
}

TEST(Report, PageHoldsTheSameFiguresAndNothingFromOutside) {
    Page page(line_day_html());
    ASSERT_NE(page.doc, nullptr);
    int svgs = 0, scripts = 0, outside = 0;
    std::map<std::string, int> bars;
    std::map<std::string, std::vector<std::string>> rows; // table id: its rows' cell texts
    std::string passrate;
    page.walk(xmlDocGetRootElement(page.doc), [&](xmlNodePtr n) {
        const std::string name = Page::name(n);
        svgs += name == "svg";
        scripts += name == "script" || name == "link" || name == "iframe" || name == "img";
        if (!Page::attr(n, "src").empty() || !Page::attr(n, "href").empty())
            ++outside;
        if (name == "rect" && Page::attr(n, "class") == "bar")
            ++bars[Page::attr(n->parent, "class")];
        if (Page::attr(n, "id") == "passrate")
            passrate = Page::text(n);
        if (name == "tr" && n->parent && !Page::attr(n->parent, "id").empty()) {
            std::string cells;
            for (xmlNodePtr c = n->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE)
                    cells += (cells.empty() ? "" : "|") + Page::text(c);
            rows[Page::attr(n->parent, "id")].push_back(cells);
        }
    });
    EXPECT_EQ(svgs, 2);
    EXPECT_EQ(scripts, 0);
    EXPECT_EQ(outside, 0);
    EXPECT_EQ(bars["pareto"], 2);
    EXPECT_EQ(bars["hours"], 2);
    EXPECT_EQ(passrate, "60.0% passed");
    EXPECT_EQ(rows["pareto"],
              (std::vector<std::string>{"Step|Failures|Share|Cumulative", "usb|2|66.7%|66.7%",
                                        "rtc|1|33.3%|100.0%"}));
    EXPECT_EQ(rows["hours"], (std::vector<std::string>{"Hour|Tested|Passed", "2026-12-08 09|2|1",
                                                       "2026-12-08 10|3|2"}));
    EXPECT_EQ(rows["models"],
              (std::vector<std::string>{"Model|Disks", "ST1000DM003|3", "WDC WD10EZEX|2"}));
    ASSERT_EQ(rows["failed"].size(), 3u);
    EXPECT_EQ(rows["failed"][2], "2026-12-08 10:20:00|rtc, usb|WD-2 <&>|line.log:300");
}

// Headless Chromium renders the page to a PNG of the window's size.
TEST(Report, PageRendersInHeadlessChromium) {
    TempDir dir;
    const std::string html = dir.file("report.html");
    const std::string png = dir.file("report.png");
    std::ofstream(html) << line_day_html();
    const std::string cmd =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir='" +
        dir.file("profile") + "' --window-size=900,1400 --screenshot='" + png + "' 'file://" +
        html + "' >'" + dir.file("chromium.log") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "chromium failed; see " << cmd;
    std::ifstream in(png, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(bytes[at]) << 24) |
               (static_cast<unsigned char>(bytes[at + 1]) << 16) |
               (static_cast<unsigned char>(bytes[at + 2]) << 8) |
               static_cast<unsigned char>(bytes[at + 3]);
    };
    EXPECT_EQ(be32(16), 900u);
    EXPECT_EQ(be32(20), 1400u);
    // A blank page compresses to almost nothing; text and charts do not.
    EXPECT_GT(bytes.size(), 20000u);
    if (const char *keep = std::getenv("FTQ_RECORD_SCREENSHOT"))
        std::ofstream(keep, std::ios::binary) << bytes;
}

struct Ran {
    int status;
    std::string out, err;
};

Ran tool(const std::string &args, const TempDir &dir) {
    const std::string cmd = std::string(FTQ_RECORD_BINARY) + " " + args + " >'" + dir.file("out") +
                            "' 2>'" + dir.file("err") + "'";
    int rc = std::system(cmd.c_str());
    auto slurp = [](const std::string &p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir.file("out")), slurp(dir.file("err"))};
}

TEST(Tool, ExitStatusesScriptsRelyOn) {
    TempDir dir;
    std::ofstream(dir.file("noise.log")) << "U-Boot 2010.06\r\n# ls\r\n";
    std::ofstream(dir.file("run.log")) << " \xC9\xE8\xB1\xB8\xC0\xE0\xD0\xCD Type  1 \r\n";

    Ran none = tool("parse '" + dir.file("noise.log") + "'", dir);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "ftq-record: no ftq run in " + dir.file("noise.log") + "\n");

    Ran missing = tool("parse '" + dir.file("gone.log") + "' '" + dir.file("run.log") + "'", dir);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find(dir.file("gone.log")), std::string::npos);
    EXPECT_EQ(Json::parse(missing.out)["boardType"], 1) << "the readable capture still counts";

    Ran stored = tool("store '" + dir.file("line.db") + "' - <'" + dir.file("run.log") + "'", dir);
    EXPECT_EQ(stored.status, 0) << stored.err;
    EXPECT_EQ(stored.out, "ftq-record: 1 runs read, 1 stored, 0 stored before\n");
    Ran again = tool("store '" + dir.file("line.db") + "' '" + dir.file("run.log") + "'", dir);
    EXPECT_EQ(again.out, "ftq-record: 1 runs read, 0 stored, 1 stored before\n");

    EXPECT_EQ(tool("report '" + dir.file("line.db") + "' --since soon", dir).status, 2);
    EXPECT_EQ(tool("report '" + dir.file("none.db") + "'", dir).status, 2);
    EXPECT_EQ(tool("frobnicate", dir).status, 2);
    Ran report =
        tool("report '" + dir.file("line.db") + "' --html '" + dir.file("r.html") + "'", dir);
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_NE(report.out.find("Boards tested: 0 (0 passed, 0 failed)"), std::string::npos)
        << "a run without a summary is no board tested";
    EXPECT_TRUE(std::ifstream(dir.file("r.html")).good());
}

} // namespace
