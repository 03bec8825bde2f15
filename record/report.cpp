#include "record/report.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace ftqrecord {

namespace {

// A failed board whose summary named no step: its USB count was wrong for
// its board type, which the summary does not print as a line.
const char *const NO_LINE = "no error line";

struct Query {
    sqlite3_stmt *s = nullptr;
    Query(sqlite3 *db, const char *sql, const std::string &since) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
        sqlite3_bind_text(s, 1, since.c_str(), -1, SQLITE_TRANSIENT);
    }
    ~Query() { sqlite3_finalize(s); }
    bool row() { return sqlite3_step(s) == SQLITE_ROW; }
    std::string text(int i) {
        const unsigned char *t = sqlite3_column_text(s, i);
        return t ? reinterpret_cast<const char *>(t) : "";
    }
    long number(int i) { return static_cast<long>(sqlite3_column_int64(s, i)); }
};

#define IN_RANGE " COALESCE(r.tested_at, r.stored_at) >= ?1 AND r.mode = 'whole' "

std::string percent(long part, long whole) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f%%",
             whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return buf;
}

std::string escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            // Control bytes (a NUL in a disk serial, say) are not characters of HTML.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                out += "&#xFFFD;";
            else
                out += c;
        }
    }
    return out;
}

} // namespace

bool valid_since(const std::string &s) {
    int y, mo, d, h, mi, se;
    char tail;
    if (s.size() == 10 && sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &tail) == 3)
        return mo >= 1 && mo <= 12 && d >= 1 && d <= 31;
    if (s.size() == 19 &&
        sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &tail) == 6)
        return mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && se < 61;
    return false;
}

LineReport make_report(sqlite3 *db, const std::string &since) {
    LineReport r;
    r.since = since;
    {
        Query q(db,
                "SELECT COUNT(*) FILTER (WHERE verdict IN ('pass', 'fail')),"
                " COUNT(*) FILTER (WHERE verdict = 'pass'),"
                " COUNT(*) FILTER (WHERE verdict = 'incomplete')"
                " FROM runs r WHERE" IN_RANGE,
                since);
        if (q.row()) {
            r.tested = q.number(0);
            r.passed = q.number(1);
            r.incomplete = q.number(2);
        }
    }
    {
        Query q(db,
                "SELECT COALESCE(f.step, ?2) AS step, COUNT(*) AS n FROM runs r"
                " LEFT JOIN failures f ON f.run = r.key"
                " WHERE" IN_RANGE "AND r.verdict = 'fail'"
                " GROUP BY step ORDER BY n DESC, step",
                since);
        sqlite3_bind_text(q.s, 2, NO_LINE, -1, SQLITE_STATIC);
        while (q.row())
            r.pareto.push_back({q.text(0), q.number(1)});
    }
    {
        Query q(
            db,
            "SELECT COALESCE(d.model, ''), COUNT(*) AS n FROM runs r JOIN disks d ON d.run = r.key"
            " WHERE" IN_RANGE "AND r.verdict IN ('pass', 'fail')"
            " GROUP BY d.model ORDER BY n DESC, d.model",
            since);
        while (q.row())
            r.models.push_back({q.text(0), q.number(1)});
    }
    {
        Query q(db,
                "SELECT r.key, COALESCE(r.tested_at, r.stored_at) AS t, r.file, r.offset,"
                " (SELECT group_concat(step, ', ') FROM"
                "   (SELECT step FROM failures WHERE run = r.key ORDER BY position)),"
                " (SELECT json_group_array(serial) FROM"
                "   (SELECT serial FROM disks WHERE run = r.key ORDER BY node))"
                " FROM runs r WHERE" IN_RANGE "AND r.verdict = 'fail' ORDER BY t, r.file, r.offset",
                since);
        while (q.row()) {
            LineReport::FailedBoard b;
            b.when = q.text(1);
            b.source = q.text(2) + ":" + std::to_string(q.number(3));
            b.steps = q.text(4).empty() ? NO_LINE : q.text(4);
            for (const auto &s : nlohmann::json::parse(q.text(5)))
                b.serials.push_back(s.is_string() ? s.get<std::string>() : "");
            r.failures.push_back(std::move(b));
        }
    }
    {
        Query q(db,
                "SELECT substr(r.tested_at, 1, 13) AS h, COUNT(*),"
                " COUNT(*) FILTER (WHERE verdict = 'pass') FROM runs r"
                " WHERE" IN_RANGE "AND r.tested_at IS NOT NULL AND r.verdict IN ('pass', 'fail')"
                " GROUP BY h ORDER BY h",
                since);
        while (q.row())
            r.hours.push_back({q.text(0), q.number(1), q.number(2)});
    }
    return r;
}

std::string report_text(const LineReport &r) {
    std::string o;
    auto line = [&](const std::string &s) { o += s + "\n"; };
    line("ftq line report" + (r.since.empty() ? std::string() : " since " + r.since));
    line("");
    line("Boards tested: " + std::to_string(r.tested) + " (" + std::to_string(r.passed) +
         " passed, " + std::to_string(r.tested - r.passed) + " failed)");
    line("Pass rate:     " + percent(r.passed, r.tested));
    if (r.incomplete)
        line("Incomplete:    " + std::to_string(r.incomplete) +
             " (the capture ends before the summary)");
    line("");
    line("Failures by step:");
    long total = 0;
    for (const auto &c : r.pareto)
        total += c.count;
    long cumulative = 0;
    char buf[256];
    for (const auto &c : r.pareto) {
        cumulative += c.count;
        snprintf(buf, sizeof buf, "  %-14s %6ld  %6s  cumulative %6s", c.name.c_str(), c.count,
                 percent(c.count, total).c_str(), percent(cumulative, total).c_str());
        line(buf);
    }
    if (r.pareto.empty())
        line("  none");
    line("");
    line("Disks by model:");
    for (const auto &c : r.models) {
        snprintf(buf, sizeof buf, "  %-40s %6ld", c.name.c_str(), c.count);
        line(buf);
    }
    if (r.models.empty())
        line("  none");
    line("");
    line("Boards that failed:");
    for (const auto &b : r.failures) {
        std::string serials;
        for (const auto &s : b.serials)
            serials += (serials.empty() ? "" : " ") + s;
        line("  " + b.when + "  " + b.steps + "  disks: " + (serials.empty() ? "none" : serials) +
             "  (" + b.source + ")");
    }
    if (r.failures.empty())
        line("  none");
    return o;
}

namespace {

// A bar chart in SVG: one bar a value, its label under it and its figure
// over it. `scale` is the value of a full bar.
std::string bar_chart(const std::string &title, const std::vector<std::string> &labels,
                      const std::vector<double> &values, const std::vector<std::string> &figures,
                      double scale, const char *css_class) {
    const int bar = 48, gap = 16, height = 160, top = 24, bottom = 56;
    const int width = std::max<int>(240, static_cast<int>(labels.size()) * (bar + gap) + gap);
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"" + std::string(css_class) +
                    "\" width=\"" + std::to_string(width) + "\" height=\"" +
                    std::to_string(top + height + bottom) + "\" role=\"img\" aria-label=\"" +
                    escape(title) + "\">";
    s += "<line x1=\"0\" y1=\"" + std::to_string(top + height) + "\" x2=\"" +
         std::to_string(width) + "\" y2=\"" + std::to_string(top + height) + "\" stroke=\"#555\"/>";
    for (size_t i = 0; i < labels.size(); ++i) {
        int x = gap + static_cast<int>(i) * (bar + gap);
        int h = scale > 0 ? static_cast<int>(values[i] / scale * height + 0.5) : 0;
        s += "<rect class=\"bar\" x=\"" + std::to_string(x) + "\" y=\"" +
             std::to_string(top + height - h) + "\" width=\"" + std::to_string(bar) +
             "\" height=\"" + std::to_string(h) + "\"><title>" + escape(labels[i]) + ": " +
             escape(figures[i]) + "</title></rect>";
        s += "<text x=\"" + std::to_string(x + bar / 2) + "\" y=\"" +
             std::to_string(top + height - h - 6) + "\" text-anchor=\"middle\">" +
             escape(figures[i]) + "</text>";
        s += "<text x=\"" + std::to_string(x + bar / 2) + "\" y=\"" +
             std::to_string(top + height + 16) + "\" text-anchor=\"middle\" class=\"label\">" +
             escape(labels[i]) + "</text>";
    }
    return s + "</svg>";
}

} // namespace

std::string report_html(const LineReport &r) {
    std::string o;
    o += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    o += "<title>ftq line report</title>\n<style>\n"
         "body{font-family:sans-serif;margin:24px;color:#222}\n"
         "table{border-collapse:collapse;margin-bottom:16px}\n"
         "td,th{border:1px solid #bbb;padding:3px 8px;text-align:left}\n"
         "td.n{text-align:right}\n"
         "svg text{font-size:11px;fill:#222}\nsvg text.label{font-size:10px}\n"
         "svg.pareto rect.bar{fill:#c0392b}\nsvg.hours rect.bar{fill:#27ae60}\n"
         ".figure{font-size:28px;margin-right:32px}\n"
         "</style>\n</head>\n<body>\n";
    o += "<h1>ftq line report" + (r.since.empty() ? std::string() : " since " + escape(r.since)) +
         "</h1>\n";
    o += "<p><span class=\"figure\" id=\"tested\">" + std::to_string(r.tested) +
         " boards tested</span><span class=\"figure\" id=\"passrate\">" +
         percent(r.passed, r.tested) + " passed</span>";
    if (r.incomplete)
        o += "<span class=\"figure\" id=\"incomplete\">" + std::to_string(r.incomplete) +
             " incomplete</span>";
    o += "</p>\n";

    o += "<h2>Failures by step</h2>\n";
    long total = 0;
    for (const auto &c : r.pareto)
        total += c.count;
    {
        std::vector<std::string> labels, figures;
        std::vector<double> values;
        double top = 0;
        for (const auto &c : r.pareto) {
            labels.push_back(c.name);
            values.push_back(static_cast<double>(c.count));
            figures.push_back(std::to_string(c.count));
            top = std::max(top, static_cast<double>(c.count));
        }
        o += bar_chart("Failures by step", labels, values, figures, top, "pareto") + "\n";
    }
    o += "<table id=\"pareto\">\n<tr><th>Step</th><th>Failures</th><th>Share</th>"
         "<th>Cumulative</th></tr>\n";
    long cumulative = 0;
    for (const auto &c : r.pareto) {
        cumulative += c.count;
        o += "<tr><td>" + escape(c.name) + "</td><td class=\"n\">" + std::to_string(c.count) +
             "</td><td class=\"n\">" + percent(c.count, total) + "</td><td class=\"n\">" +
             percent(cumulative, total) + "</td></tr>\n";
    }
    o += "</table>\n";

    o += "<h2>Pass rate by hour</h2>\n";
    {
        std::vector<std::string> labels, figures;
        std::vector<double> values;
        for (const auto &h : r.hours) {
            labels.push_back(h.hour.size() >= 13
                                 ? h.hour.substr(5, 5) + " " + h.hour.substr(11, 2) + "h"
                                 : h.hour);
            values.push_back(h.tested ? 100.0 * static_cast<double>(h.passed) /
                                            static_cast<double>(h.tested)
                                      : 0);
            figures.push_back(percent(h.passed, h.tested));
        }
        o += bar_chart("Pass rate by hour", labels, values, figures, 100.0, "hours") + "\n";
    }
    o += "<table id=\"hours\">\n<tr><th>Hour</th><th>Tested</th><th>Passed</th></tr>\n";
    for (const auto &h : r.hours)
        o += "<tr><td>" + escape(h.hour) + "</td><td class=\"n\">" + std::to_string(h.tested) +
             "</td><td class=\"n\">" + std::to_string(h.passed) + "</td></tr>\n";
    o += "</table>\n";

    o += "<h2>Disks by model</h2>\n<table id=\"models\">\n<tr><th>Model</th><th>Disks</th></tr>\n";
    for (const auto &c : r.models)
        o += "<tr><td>" + escape(c.name) + "</td><td class=\"n\">" + std::to_string(c.count) +
             "</td></tr>\n";
    o += "</table>\n";

    o += "<h2>Boards that failed</h2>\n<table id=\"failed\">\n<tr><th>Tested</th><th>Failed</th>"
         "<th>Disk serials</th><th>Capture</th></tr>\n";
    for (const auto &b : r.failures) {
        std::string serials;
        for (const auto &s : b.serials)
            serials += (serials.empty() ? "" : " ") + escape(s);
        o += "<tr><td>" + escape(b.when) + "</td><td>" + escape(b.steps) + "</td><td>" + serials +
             "</td><td>" + escape(b.source) + "</td></tr>\n";
    }
    o += "</table>\n</body>\n</html>\n";
    return o;
}

} // namespace ftqrecord
