// The store keeps each run once; the line report's figures, as text and as
// a page that a browser renders; the tool's exit statuses.
#include "records.h"
#include "simrun.h"

#include "record/report.h"
#include "record/store.h"

#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>

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

// A line's day as a station logs it: five boards over two hours, three
// pass, two fail, one of them twice.
std::vector<ftqrecord::Record> line_day() {
    return ftqrecord::parse_records(qa::source_file("qa/data/record/line-day.log"), "line.log");
}

long count(sqlite3 *db, const char *sql) {
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sql;
    long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
}

TEST(StoreAndReport, ACaptureStoredTwiceCountsOnce) {
    TempDir dir;
    ftqrecord::Store store(dir.file("line.db"));
    const std::vector<ftqrecord::Record> day = line_day();
    ASSERT_EQ(day.size(), 5u);
    for (int pass = 0; pass < 2; ++pass) {
        store.begin();
        int added = 0;
        for (ftqrecord::Record r : day) {
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

    // The figures as text; the page's test below checks the hours.
    const std::string text = ftqrecord::report_text(ftqrecord::make_report(store.db(), ""));
    for (const char *line : {"Boards tested: 5 (3 passed, 2 failed)\n", "Pass rate:     60.0%\n",
                             "  usb                 2   66.7%  cumulative  66.7%\n",
                             "  rtc                 1   33.3%  cumulative 100.0%\n",
                             "  ST1000DM003                                   3\n",
                             "  2026-12-08 10:20:00  rtc, usb  disks: WD-2 <&>  (line.log:1523)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    ftqrecord::LineReport later = ftqrecord::make_report(store.db(), "2026-12-08 10:00:00");
    EXPECT_EQ(later.tested, 3);
    EXPECT_EQ(later.passed, 2);
    EXPECT_TRUE(ftqrecord::valid_since("2026-12-08"));
    EXPECT_FALSE(ftqrecord::valid_since("2026-13-01"));

    // The same run at another place of its capture is another run.
    ftqrecord::Record moved = day[0];
    moved.offset = 9999;
    store.begin();
    EXPECT_TRUE(store.add(moved));
    store.commit();
}

// The page through libxml2's HTML parser: the text of each node that an
// XPath expression selects.
struct Page {
    htmlDocPtr doc;
    xmlXPathContextPtr xpath;
    explicit Page(const std::string &html)
        : doc(htmlReadMemory(html.data(), static_cast<int>(html.size()), "report.html", "utf-8",
                             HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET)),
          xpath(xmlXPathNewContext(doc)) {}
    ~Page() {
        xmlXPathFreeContext(xpath);
        xmlFreeDoc(doc);
    }
    std::vector<std::string> operator()(const char *path) const {
        std::vector<std::string> out;
        xmlXPathObjectPtr o =
            xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path), xpath);
        EXPECT_NE(o, nullptr) << path;
        for (int i = 0; o && o->nodesetval && i < o->nodesetval->nodeNr; ++i) {
            xmlChar *t = xmlNodeGetContent(o->nodesetval->nodeTab[i]);
            out.push_back(t ? reinterpret_cast<const char *>(t) : "");
            xmlFree(t);
        }
        xmlXPathFreeObject(o);
        return out;
    }
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

// The page holds the figures, takes nothing from outside, and headless
// Chromium renders it to a PNG of the window's size.
TEST(Report, PageHoldsTheSameFiguresAndRendersInHeadlessChromium) {
    using Texts = std::vector<std::string>;
    TempDir dir;
    const std::string html = dir.file("report.html");
    const std::string png = dir.file("report.png");
    std::ofstream(html) << line_day_html();
    const Page page(qa::record::file_text(html));
    ASSERT_NE(page.doc, nullptr);
    EXPECT_EQ(page("//svg").size(), 2u);
    EXPECT_EQ(page("//script | //link | //iframe | //img | //*[@src or @href]"), Texts{})
        << "nothing comes from outside the page";
    EXPECT_EQ(page("//*[@class='pareto']/rect[@class='bar']").size(), 2u);
    EXPECT_EQ(page("//*[@class='hours']/rect[@class='bar']").size(), 2u);
    EXPECT_EQ(page("//*[@id='passrate']"), Texts{"60.0% passed"});
    // The tables' cells, row by row.
    EXPECT_EQ(page("//*[@id='pareto']/tr/*"),
              (Texts{"Step", "Failures", "Share", "Cumulative", "usb", "2", "66.7%", "66.7%", "rtc",
                     "1", "33.3%", "100.0%"}));
    EXPECT_EQ(page("//*[@id='hours']/tr/*"), (Texts{"Hour", "Tested", "Passed", "2026-12-08 09",
                                                    "2", "1", "2026-12-08 10", "3", "2"}));
    EXPECT_EQ(page("//*[@id='models']/tr/*"),
              (Texts{"Model", "Disks", "ST1000DM003", "3", "WDC WD10EZEX", "2"}));
    EXPECT_EQ(page("//*[@id='failed']/tr").size(), 3u);
    EXPECT_EQ(page("//*[@id='failed']/tr[3]/*"),
              (Texts{"2026-12-08 10:20:00", "rtc, usb", "WD-2 <&>", "line.log:1523"}));

    const std::string cmd =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir='" +
        dir.file("profile") + "' --window-size=900,1400 --screenshot='" + png + "' 'file://" +
        html + "' >'" + dir.file("chromium.log") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "chromium failed; see " << cmd;
    const std::string bytes = qa::record::file_text(png);
    // The signature, then the header's width and height: 900 and 1400.
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(bytes.substr(16, 8), std::string("\0\0\x03\x84\0\0\x05\x78", 8));
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
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qa::record::file_text(dir.file("out")),
            qa::record::file_text(dir.file("err"))};
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
