// A scenario: the board and its surroundings, as a JSON document.
//
// Each device model reads its own top-level section. A section that is
// absent means the healthy default, so the empty document is a healthy
// board. Every accessor checks the type and range of what it reads and names
// the file and the field when something is wrong.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Section {
  public:
    Section(const nlohmann::json *node, std::string path, const std::string *file)
        : node_(node), path_(std::move(path)), file_(file) {}

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
    std::string text(const char *key, const std::string &fallback) const;
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

    [[noreturn]] void fail(const char *key, const std::string &what) const;

  private:
    std::string field(const char *key) const;
    const nlohmann::json *get(const char *key) const;

    const nlohmann::json *node_;
    std::string path_;
    const std::string *file_;
};

class Scenario {
  public:
    // The built-in healthy board.
    Scenario();
    static Scenario from_file(const std::string &file);
    static Scenario from_text(const std::string &text, const std::string &name = "<scenario>");
    static Scenario from_json(nlohmann::json doc, const std::string &name = "<scenario>");

    Section root() const { return Section(&doc_, "", &file_); }
    Section section(const char *key) const { return root().child(key); }
    const std::string &file() const { return file_; }
    const nlohmann::json &doc() const { return doc_; }

  private:
    nlohmann::json doc_;
    std::string file_;
};

int errno_from_name(const std::string &name); // -1 when unknown
const char *errno_name(int err);

} // namespace sim
