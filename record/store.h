// The line's records in an SQLite database: one row a run, keyed so that a
// capture stored again adds nothing, with its failures and its disks in
// tables of their own for the line's own queries.
#pragma once

#include "record/record.h"

#include <memory>
#include <stdexcept>
#include <string>

struct sqlite3;

namespace ftqrecord {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The key of a record: its content and its place in its capture, the name
// of the capture file left out, so a copy of a capture stores nothing new.
std::string record_key(const Record &record);

class Store {
  public:
    explicit Store(const std::string &path); // creates the tables when new
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Within one transaction; false when the record was stored already.
    void begin();
    bool add(const Record &record);
    void commit();

    sqlite3 *db() const { return db_; }

  private:
    sqlite3 *db_ = nullptr;
    std::string now_;  // when the records of this transaction are stored
    std::string text_; // the record being stored, as JSON
    struct Statements;
    std::unique_ptr<Statements> st_;
};

} // namespace ftqrecord
