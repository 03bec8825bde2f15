#include "datarows.h"

#include "simrun.h"

namespace qa {

std::vector<DataRow> data_rows(const std::string &file) {
    std::vector<DataRow> rows;
    try {
        for (const auto &row : nlohmann::json::parse(source_file("qa/data/" + file)))
            rows.push_back({row.at("name").get<std::string>(), row});
    } catch (const std::exception &) {
        return {{"Unreadable", nlohmann::json::object()}};
    }
    return rows;
}

} // namespace qa
