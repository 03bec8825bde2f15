// Tables of cases kept as data under qa/data/: one parameterised case per
// row, named after the row's "name".
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace qa {

struct DataRow {
    std::string name;
    nlohmann::json fields; // the whole row
    const nlohmann::json &operator[](const char *key) const { return fields.at(key); }
};

// ctest shows the printed parameter in the case's name.
inline void PrintTo(const DataRow &row, std::ostream *os) {
    *os << row.name;
}

// The rows of qa/data/<file>. A table that cannot be read becomes one row
// without fields, whose case then fails instead of vanishing.
std::vector<DataRow> data_rows(const std::string &file);

inline std::string data_row_name(const testing::TestParamInfo<DataRow> &info) {
    return info.param.name;
}

} // namespace qa
