// The records of captures as ftq-record writes them, read back as JSON for
// the tests to compare.
#pragma once

#include "record/parser.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qa::record {

using Json = nlohmann::ordered_json;

// UTF-8 text in a source that the product's charset compiles to GB2312.
inline std::string utf8(const char8_t *s) {
    return reinterpret_cast<const char *>(s);
}

inline std::vector<Json> parse_text(const std::string &capture, const std::string &file = "-") {
    std::vector<Json> out;
    for (const ftqrecord::Record &r : ftqrecord::parse_records(capture, file))
        out.push_back(Json::parse(ftqrecord::to_json(r)));
    return out;
}

// A file's bytes; empty when it cannot be read.
inline std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The records with their byte offsets taken out, for captures of the same
// runs whose bytes differ.
inline std::vector<Json> without_offsets(std::vector<Json> records) {
    for (Json &r : records)
        r["source"].erase("offset");
    return records;
}

} // namespace qa::record
