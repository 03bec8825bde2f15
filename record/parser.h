// Reads console captures of the line and turns every ftq run found in them
// into one record. A capture comes in pieces of any size; the reader keeps
// one line and one run at a time, so a day's capture of any length takes
// the same memory as a single run.
#pragma once

#include "record/record.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ftqrecord {

// What one run may hold at most; a capture of garbage cannot make a record
// grow without bound.
inline constexpr size_t MAX_LINE = 4096;
inline constexpr size_t MAX_UNKNOWN = 200;
inline constexpr size_t MAX_ITEMS = 256;

class Parser {
  public:
    // Given each run's record as it ends; the record is the reader's own
    // and is emptied for the next run, so a sink that keeps it copies it.
    using Sink = std::function<void(const Record &record)>;

    // `file` is the name the records give as their source.
    Parser(std::string file, Sink sink);
    ~Parser();
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    void feed(const char *data, size_t size);
    // End of the capture: a run still open is given out as it stands.
    void finish();

    size_t runs() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whole captures at once, for tests and small tools.
std::vector<Record> parse_records(const std::string &capture, const std::string &file = "-");

// A console line as UTF-8: kept when it already is valid UTF-8, otherwise
// read as GB2312 (bytes that are not GB2312 become U+FFFD).
std::string line_to_utf8(std::string_view line);

} // namespace ftqrecord
