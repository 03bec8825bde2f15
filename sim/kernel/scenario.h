// A scenario: the board and its surroundings, as a JSON document.
//
// Each device model reads its own top-level section. A section that is
// absent means the healthy default, so the empty document is a healthy
// board. Every accessor checks the type and range of what it reads and names
// the file and the field when something is wrong; the models read all of
// their sections while the board is built, so a bad field ends the program
// before the run, whatever the run would have reached.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The largest scenario file read, and the deepest nesting accepted. The
// deepest field lies seven levels down and the catalog's largest file is a
// few kilobytes; the size still leaves room for a megabyte of hex data.
constexpr size_t kScenarioMaxBytes = 4u << 20;
constexpr int kScenarioMaxDepth = 32;

// Where a scenario came from, for its messages: the file, and the text of
// every number written with a fraction, an exponent or too many digits for
// 64 bits, keyed by field, since its value alone would not show what the
// file says.
struct ScenarioSource {
    std::string file;
    std::map<std::string, std::string> written;
};

class Section {
  public:
    Section(const nlohmann::json *node, std::string path, const ScenarioSource *source)
        : node_(node), path_(std::move(path)), source_(source) {}

    bool present() const { return node_ != nullptr && !node_->is_null(); }
    bool has(const char *key) const;
    const std::string &path() const { return path_; }
    const nlohmann::json *raw() const { return node_; }

    // Rejects keys other than these, so that a misspelt field is an error
    // rather than a silently healthy default.
    void only(std::initializer_list<const char *> keys) const;

    Section child(const char *key) const;
    std::vector<Section> list(const char *key) const;
    // The elements of this section when it is an array.
    std::vector<Section> items() const;

    // Integers may be written as numbers or as "0x..." strings.
    int64_t integer(const char *key, int64_t fallback, int64_t min, int64_t max) const;
    double number(const char *key, double fallback, double min, double max) const;
    bool flag(const char *key, bool fallback) const;
    // A name, a path or an argument: a NUL byte would cut it short.
    std::string text(const char *key, const std::string &fallback) const;
    // Data (file contents, typed input, identify strings): any byte.
    std::string content(const char *key, const std::string &fallback) const;
    // One of the given words.
    std::string choice(const char *key, const std::string &fallback,
                       std::initializer_list<const char *> allowed) const;
    // Bytes written as a hex string ("7B 19 00 32" or "7b190032").
    std::vector<uint8_t> hex(const char *key) const;
    // Seconds given in the scenario, as microseconds of virtual time.
    int64_t seconds_us(const char *key, double fallback) const;
    // An errno name such as "EIO", or a number.
    int errno_value(const char *key, int fallback) const;

    // The value of this section itself (for array elements).
    int64_t as_integer(int64_t min, int64_t max) const;
    std::string as_text() const;

    // At most one of these keys may be given: each sets what another would.
    void one_of(std::initializer_list<const char *> keys) const;
    // Fails when key is given although the section's own settings ignore it.
    void unused(const char *key, const std::string &because) const;

    [[noreturn]] void fail(const char *key, const std::string &what) const;

  private:
    std::string field(const char *key) const;
    const nlohmann::json *get(const char *key) const;
    // A number as the file wrote it.
    std::string shown(const char *key, const nlohmann::json &v) const;

    const nlohmann::json *node_;
    std::string path_;
    const ScenarioSource *source_;
};

class Scenario {
  public:
    // The built-in healthy board.
    Scenario();
    static Scenario from_file(const std::string &file);
    static Scenario from_text(const std::string &text, const std::string &name = "<scenario>");
    static Scenario from_json(nlohmann::json doc, const std::string &name = "<scenario>");
    // The same file with its document changed by a tool (an option that
    // overrides a field), so that messages still quote the file.
    Scenario edited(nlohmann::json doc) const;

    Section root() const { return Section(&doc_, "", &source_); }
    Section section(const char *key) const { return root().child(key); }
    const std::string &file() const { return source_.file; }
    const nlohmann::json &doc() const { return doc_; }

  private:
    nlohmann::json doc_;
    ScenarioSource source_;
};

// A text as a message may show it: control characters escaped, and cut
// short past a line's worth.
std::string printable(const std::string &text);

int errno_from_name(const std::string &name); // -1 when unknown
const char *errno_name(int err);

} // namespace sim
