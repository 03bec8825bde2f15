#include "trace_doc.h"

#include <regex>
#include <sstream>

namespace qa {

TraceDoc::TraceDoc(const std::string &page) {
    static const std::regex row(R"(^\| `([a-z0-9_]+)` \| ([^|]*)\|)");
    static const std::regex name("`([a-z0-9_]+)`");
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, row))
            continue;
        std::string dev = m[1], cell = m[2];
        if (cell.find("the call's name") != std::string::npos)
            any_kind_.insert(dev);
        for (std::sregex_iterator it(cell.begin(), cell.end(), name), end; it != end; ++it)
            kinds_.insert({dev, (*it)[1]});
    }
}

bool TraceDoc::names(const std::string &dev, const std::string &ev) const {
    return any_kind_.count(dev) > 0 || kinds_.count({dev, ev}) > 0;
}

} // namespace qa
