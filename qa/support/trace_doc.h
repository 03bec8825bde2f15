// The event kinds that docs/trace.md names, for the checks that the page
// names every kind the simulator records.
#pragma once

#include <set>
#include <string>
#include <utility>

namespace qa {

class TraceDoc {
  public:
    // Reads the page's table rows "| `dev` | `ev`, `ev` | ... |"; a row
    // whose kind cell says "the call's name" stands for every kind of dev.
    explicit TraceDoc(const std::string &page);
    bool names(const std::string &dev, const std::string &ev) const;
    bool names_any_kind_of(const std::string &dev) const { return any_kind_.count(dev) > 0; }
    size_t size() const { return kinds_.size(); }

  private:
    std::set<std::pair<std::string, std::string>> kinds_;
    std::set<std::string> any_kind_;
};

} // namespace qa
