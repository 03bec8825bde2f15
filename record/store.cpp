#include "record/store.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <optional>

namespace ftqrecord {

namespace {

const char *const SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS runs (
    key        TEXT PRIMARY KEY,
    file       TEXT NOT NULL,
    offset     INTEGER NOT NULL,
    tested_at  TEXT,
    stored_at  TEXT NOT NULL,
    verdict    TEXT,
    mode       TEXT NOT NULL,
    board_type INTEGER,
    usb        INTEGER,
    sata       INTEGER,
    record     TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS failures (
    run      TEXT NOT NULL REFERENCES runs(key),
    position INTEGER NOT NULL,
    step     TEXT NOT NULL,
    PRIMARY KEY (run, position)
);
CREATE TABLE IF NOT EXISTS disks (
    run         TEXT NOT NULL REFERENCES runs(key),
    node        TEXT NOT NULL,
    serial      TEXT,
    model       TEXT,
    firmware    TEXT,
    capacity_gb INTEGER,
    PRIMARY KEY (run, node)
);
CREATE INDEX IF NOT EXISTS runs_tested_at ON runs(tested_at);
)sql";

uint64_t fnv1a(const std::string &s, uint64_t h) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

std::string now_utc() {
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

} // namespace

namespace {

// The key over a record's text from its offset on: the file name, the
// first field of the record, is left out.
std::string key_of_text(const std::string &text) {
    size_t from = text.find("\"offset\":");
    std::string rest = from == std::string::npos ? text : text.substr(from);
    char buf[40];
    snprintf(buf, sizeof buf, "%016llx%016llx",
             static_cast<unsigned long long>(fnv1a(rest, 14695981039346656037ULL)),
             static_cast<unsigned long long>(fnv1a(rest, 0x84222325cbf29ce4ULL)));
    return buf;
}

} // namespace

std::string record_key(const Record &record) {
    return key_of_text(to_json(record));
}

struct Store::Statements {
    sqlite3_stmt *run = nullptr;
    sqlite3_stmt *failure = nullptr;
    sqlite3_stmt *disk = nullptr;
    ~Statements() {
        sqlite3_finalize(run);
        sqlite3_finalize(failure);
        sqlite3_finalize(disk);
    }
};

namespace {

void check(sqlite3 *db, int rc, const char *what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw StoreError(std::string(what) + ": " + sqlite3_errmsg(db));
}

void bind_text(sqlite3_stmt *s, int i, const char *v) {
    if (v)
        sqlite3_bind_text(s, i, v, -1, SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(s, i);
}

void bind_text(sqlite3_stmt *s, int i, const std::optional<std::string> &v) {
    bind_text(s, i, v ? v->c_str() : nullptr);
}

void bind_int(sqlite3_stmt *s, int i, const std::optional<long long> &v) {
    if (v)
        sqlite3_bind_int64(s, i, *v);
    else
        sqlite3_bind_null(s, i);
}

} // namespace

Store::Store(const std::string &path) : st_(std::make_unique<Statements>()) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 5000);
    check(db_, sqlite3_exec(db_, SCHEMA, nullptr, nullptr, nullptr), path.c_str());
    check(db_,
          sqlite3_prepare_v2(db_,
                             "INSERT OR IGNORE INTO runs (key, file, offset, tested_at, stored_at, "
                             "verdict, mode, board_type, usb, sata, record) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                             -1, &st_->run, nullptr),
          "preparing");
    check(db_,
          sqlite3_prepare_v2(db_, "INSERT INTO failures (run, position, step) VALUES (?, ?, ?)", -1,
                             &st_->failure, nullptr),
          "preparing");
    check(db_,
          sqlite3_prepare_v2(db_,
                             "INSERT OR IGNORE INTO disks (run, node, serial, model, firmware, "
                             "capacity_gb) VALUES (?, ?, ?, ?, ?, ?)",
                             -1, &st_->disk, nullptr),
          "preparing");
}

Store::~Store() {
    st_.reset();
    sqlite3_close(db_);
}

void Store::begin() {
    now_ = now_utc();
    check(db_, sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), "begin");
}

void Store::commit() {
    check(db_, sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), "commit");
}

bool Store::add(const Record &r) {
    text_.clear();
    write_json(r, text_);
    const std::string key = key_of_text(text_);
    sqlite3_stmt *s = st_->run;
    sqlite3_reset(s);
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    bind_text(s, 2, r.file.c_str());
    sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(r.offset));
    bind_text(s, 4, r.testedAt);
    sqlite3_bind_text(s, 5, now_.c_str(), -1, SQLITE_STATIC);
    bind_text(s, 6, r.verdict);
    bind_text(s, 7, r.mode);
    bind_int(s, 8, r.boardType);
    bind_int(s, 9, r.usb);
    bind_int(s, 10, r.sata);
    sqlite3_bind_text(s, 11, text_.c_str(), static_cast<int>(text_.size()), SQLITE_STATIC);
    check(db_, sqlite3_step(s), "storing a run");
    if (sqlite3_changes(db_) == 0)
        return false;

    int position = 0;
    for (const char *step : r.failed) {
        sqlite3_stmt *f = st_->failure;
        sqlite3_reset(f);
        sqlite3_bind_text(f, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(f, 2, position++);
        bind_text(f, 3, step);
        check(db_, sqlite3_step(f), "storing a failure");
    }
    for (const Disk &d : r.disks) {
        sqlite3_stmt *q = st_->disk;
        sqlite3_reset(q);
        sqlite3_bind_text(q, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        bind_text(q, 2, d.node.c_str());
        // A block cut short leaves the fields it did not reach unknown.
        bind_text(q, 3, d.fields >= 1 ? d.serialTrimmed.c_str() : nullptr);
        bind_text(q, 4, d.fields >= 2 ? d.modelTrimmed.c_str() : nullptr);
        bind_text(q, 5, d.fields >= 3 ? d.firmwareTrimmed.c_str() : nullptr);
        bind_int(q, 6,
                 d.fields >= 4 ? std::optional<long long>(static_cast<long long>(d.capacityGB))
                               : std::nullopt);
        check(db_, sqlite3_step(q), "storing a disk");
    }
    return true;
}

} // namespace ftqrecord
