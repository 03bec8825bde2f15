#include "sim/kernel/scenario.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

struct ErrnoName {
    const char *name;
    int value;
};

const ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"ESRCH", ESRCH},
    {"EINTR", EINTR},
    {"EIO", EIO},
    {"ENXIO", ENXIO},
    {"E2BIG", E2BIG},
    {"EBADF", EBADF},
    {"ECHILD", ECHILD},
    {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},
    {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},
    {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR},
    {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},
    {"EMFILE", EMFILE},
    {"ENOTTY", ENOTTY},
    {"ENOSPC", ENOSPC},
    {"ESPIPE", ESPIPE},
    {"EROFS", EROFS},
    {"EPIPE", EPIPE},
    {"ETIMEDOUT", ETIMEDOUT},
    {"EOPNOTSUPP", EOPNOTSUPP},
    {"EAFNOSUPPORT", EAFNOSUPPORT},
    {"ENETDOWN", ENETDOWN},
    {"ENOSYS", ENOSYS},
    {"ENOMEDIUM", ENOMEDIUM},
};

// A number written as a text: decimal digits or 0x and hex digits, with an
// optional minus. stoll's other forms (octal, blanks, a plus) are refused so
// that a text means what it says.
enum class TextNumber { Ok, NotANumber, OutOfRange };

TextNumber parse_integer_text(const std::string &s, int64_t &value) {
    size_t at = s.size() > 0 && s[0] == '-' ? 1 : 0;
    bool hex = s.compare(at, 2, "0x") == 0 || s.compare(at, 2, "0X") == 0;
    size_t digits = at + (hex ? 2 : 0);
    if (digits == s.size())
        return TextNumber::NotANumber;
    for (size_t i = digits; i < s.size(); ++i)
        if (!(hex ? isxdigit(static_cast<unsigned char>(s[i]))
                  : isdigit(static_cast<unsigned char>(s[i]))))
            return TextNumber::NotANumber;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, hex ? 16 : 10);
    if (errno == ERANGE)
        return TextNumber::OutOfRange;
    value = v;
    return TextNumber::Ok;
}

// Doubles as people write them: whole numbers in full, others in their
// shortest exact form.
std::string format_number(double d) {
    if (std::floor(d) == d && std::fabs(d) < 1e15)
        return std::to_string(static_cast<int64_t>(d));
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::string field_path(const std::string &path, const std::string &key) {
    return path.empty() ? printable(key) : path + "." + printable(key);
}

std::string item_path(const std::string &path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string too_large(const std::string &name, uint64_t size) {
    return name + ": " + (size == 0 ? "more than " : std::to_string(size) + " bytes, more than ") +
           "the " + std::to_string(kScenarioMaxBytes) + " bytes (" +
           std::to_string(kScenarioMaxBytes >> 20) + " MiB) a scenario may hold";
}

// Builds the document as the parser reads it, refusing what a scenario can
// never hold before it is stored: a key given twice (the parser would keep
// the last silently), nesting deeper than any field (the document is later
// copied recursively) and numbers beyond a double.
class Reader {
  public:
    using json = nlohmann::json;

    explicit Reader(ScenarioSource &source) : source_(source) {}

    json root;
    std::string refused_field; // set when the reader refused
    std::string refused_what;

    bool null() { return put(nullptr); }
    bool boolean(bool v) { return put(v); }
    bool number_integer(json::number_integer_t v) { return put(v); }
    bool number_unsigned(json::number_unsigned_t v) { return put(v); }
    bool number_float(json::number_float_t v, const std::string &text) {
        source_.written[here()] = text;
        return put(v);
    }
    bool string(std::string &v) { return put(std::move(v)); }
    bool binary(json::binary_t &) { return refuse(here(), "binary data"); }
    bool start_object(size_t) { return open(json::object()); }
    bool start_array(size_t) { return open(json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(std::string &k) {
        Level &top = stack_.back();
        if (top.node->contains(k))
            return refuse(field_path(top.path, k),
                          "given twice (only one value can hold; remove the other)");
        top.key = std::move(k);
        return true;
    }
    bool parse_error(size_t, const std::string &token, const nlohmann::detail::exception &e) {
        // 406: a number beyond a double, which the parser does not store.
        if (e.id == 406)
            return refuse(here(), printable(token) + " is out of range of any number");
        parse_failure = e.what();
        return false;
    }

    std::string parse_failure;

  private:
    struct Level {
        json *node;
        std::string path;
        std::string key;
    };

    std::string here() const {
        if (stack_.empty())
            return "";
        const Level &top = stack_.back();
        return top.node->is_array() ? item_path(top.path, top.node->size())
                                    : field_path(top.path, top.key);
    }

    json *place(json v) {
        if (stack_.empty()) {
            root = std::move(v);
            return &root;
        }
        Level &top = stack_.back();
        if (top.node->is_array()) {
            top.node->push_back(std::move(v));
            return &top.node->back();
        }
        return &((*top.node)[top.key] = std::move(v));
    }

    bool put(json v) {
        place(std::move(v));
        return true;
    }

    bool open(json v) {
        std::string path = here();
        if (stack_.size() >= static_cast<size_t>(kScenarioMaxDepth))
            return refuse(path, "nested deeper than " + std::to_string(kScenarioMaxDepth) +
                                    " levels; no field lies that deep");
        json *node = place(std::move(v));
        stack_.push_back({node, std::move(path), {}});
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    bool refuse(std::string field, std::string what) {
        refused_field = std::move(field);
        refused_what = std::move(what);
        return false;
    }

    ScenarioSource &source_;
    std::vector<Level> stack_;
};

} // namespace

int errno_from_name(const std::string &name) {
    for (const auto &e : kErrnoNames)
        if (name == e.name)
            return e.value;
    return -1;
}

const char *errno_name(int err) {
    for (const auto &e : kErrnoNames)
        if (err == e.value)
            return e.name;
    return "E?";
}

namespace {

// The length of the well-formed UTF-8 character at text[i] that a terminal
// shows as it is, or 0 for a byte to escape: a control character, C1
// controls included, a backslash, or a byte of no well-formed character.
size_t shown_as_is(const std::string &text, size_t i) {
    auto byte = [&](size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    unsigned c = byte(i);
    if (c < 0x80)
        return c < 0x20 || c == 0x7F || c == '\\' ? 0 : 1;
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    if (c == 0xC2 && byte(i + 1) <= 0x9F)
        return 0;
    return n;
}

std::string escaped(const std::string &text, size_t limit) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    size_t i = 0;
    while (i < text.size() && out.size() < limit) {
        size_t n = shown_as_is(text, i);
        if (n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(text[i++]);
        out +=
            c == '\\' ? std::string("\\\\") : std::string("\\x") + digits[c >> 4] + digits[c & 15];
    }
    if (i < text.size())
        out += "...";
    return out;
}

} // namespace

std::string printable(const std::string &text) {
    return escaped(text, 80);
}

std::string Section::field(const char *key) const {
    if (key == nullptr || *key == '\0')
        return path_;
    return field_path(path_, key);
}

void Section::fail(const char *key, const std::string &what) const {
    std::string f = field(key);
    throw ScenarioError(source_->file + ": " + (f.empty() ? "" : "field '" + f + "': ") + what);
}

const nlohmann::json *Section::get(const char *key) const {
    if (!present())
        return nullptr;
    if (!node_->is_object())
        fail("", "must be an object");
    auto it = node_->find(key);
    if (it == node_->end() || it->is_null())
        return nullptr;
    return &*it;
}

bool Section::has(const char *key) const {
    return get(key) != nullptr;
}

void Section::only(std::initializer_list<const char *> keys) const {
    if (!present())
        return;
    if (!node_->is_object())
        fail("", "must be an object");
    for (auto it = node_->begin(); it != node_->end(); ++it) {
        bool known = false;
        for (const char *k : keys)
            known = known || it.key() == k;
        if (!known) {
            std::string allowed;
            for (const char *k : keys)
                allowed += std::string(allowed.empty() ? "" : ", ") + k;
            fail(it.key().c_str(), "unknown field (known here: " + allowed + ")");
        }
    }
}

void Section::one_of(std::initializer_list<const char *> keys) const {
    const char *given = nullptr;
    for (const char *k : keys) {
        if (!has(k))
            continue;
        if (given != nullptr)
            fail(k, std::string("cannot be given beside '") + given + "': both set the same thing");
        given = k;
    }
}

void Section::unused(const char *key, const std::string &because) const {
    if (has(key))
        fail(key, "has no effect " + because);
}

Section Section::child(const char *key) const {
    return Section(get(key), field(key), source_);
}

std::vector<Section> Section::list(const char *key) const {
    return child(key).items();
}

std::vector<Section> Section::items() const {
    std::vector<Section> out;
    if (!present())
        return out;
    if (!node_->is_array())
        fail("", "must be a list");
    for (size_t i = 0; i < node_->size(); ++i)
        out.emplace_back(&(*node_)[i], item_path(path_, i), source_);
    return out;
}

std::string Section::shown(const char *key, const nlohmann::json &v) const {
    auto it = source_->written.find(field(key));
    if (it != source_->written.end())
        return it->second;
    if (v.is_number_float())
        return format_number(v.get<double>());
    if (v.is_string())
        return "'" + printable(v.get<std::string>()) + "'";
    return v.dump();
}

static std::string range(int64_t min, int64_t max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

static int64_t json_integer(const Section &s, const char *key, const std::string &shown,
                            const nlohmann::json &v, int64_t min, int64_t max) {
    // Everything outside int64 is out of range of every field; the checks
    // come before any conversion, which would be undefined there.
    auto out_of_range = [&](const std::string &value) {
        s.fail(key, value + " is out of range " + range(min, max));
    };
    int64_t value = 0;
    if (v.is_number_unsigned()) {
        if (v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            out_of_range(shown);
        value = static_cast<int64_t>(v.get<uint64_t>());
    } else if (v.is_number_integer()) {
        value = v.get<int64_t>();
    } else if (v.is_number_float()) {
        double d = v.get<double>();
        if (!(d >= -0x1p63 && d < 0x1p63))
            out_of_range(shown);
        if (std::floor(d) != d)
            s.fail(key, "must be a whole number, not " + shown);
        value = static_cast<int64_t>(d);
    } else if (v.is_string()) {
        const std::string &text = v.get_ref<const std::string &>();
        TextNumber r = parse_integer_text(text, value);
        if (r == TextNumber::OutOfRange)
            out_of_range(shown);
        if (r != TextNumber::Ok)
            s.fail(key, shown + " is not a number");
    } else {
        s.fail(key, "must be a number");
    }
    if (value < min || value > max)
        out_of_range(shown);
    return value;
}

int64_t Section::integer(const char *key, int64_t fallback, int64_t min, int64_t max) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    return json_integer(*this, key, shown(key, *v), *v, min, max);
}

int64_t Section::as_integer(int64_t min, int64_t max) const {
    if (!present())
        fail("", "must be a number");
    return json_integer(*this, "", shown("", *node_), *node_, min, max);
}

std::string Section::as_text() const {
    if (!present() || !node_->is_string())
        fail("", "must be a text");
    const std::string &t = node_->get_ref<const std::string &>();
    if (t.find('\0') != std::string::npos)
        fail("", "must not hold a NUL character");
    return t;
}

double Section::number(const char *key, double fallback, double min, double max) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (!v->is_number())
        fail(key, "must be a number");
    double d = v->get<double>();
    if (!(d >= min && d <= max))
        fail(key,
             shown(key, *v) + " is out of range " + format_number(min) + ".." + format_number(max));
    return d;
}

bool Section::flag(const char *key, bool fallback) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (!v->is_boolean())
        fail(key, "must be true or false");
    return v->get<bool>();
}

std::string Section::content(const char *key, const std::string &fallback) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (!v->is_string())
        fail(key, "must be a text");
    return v->get<std::string>();
}

std::string Section::text(const char *key, const std::string &fallback) const {
    std::string t = content(key, fallback);
    if (t.find('\0') != std::string::npos)
        fail(key, "must not hold a NUL character");
    return t;
}

std::string Section::choice(const char *key, const std::string &fallback,
                            std::initializer_list<const char *> allowed) const {
    std::string value = content(key, fallback);
    std::string names;
    for (const char *a : allowed) {
        if (value == a)
            return value;
        names += std::string(names.empty() ? "" : ", ") + a;
    }
    fail(key, "'" + printable(value) + "' is not one of: " + names);
}

std::vector<uint8_t> Section::hex(const char *key) const {
    std::vector<uint8_t> out;
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return out;
    if (!v->is_string())
        fail(key, "must be a hex text");
    std::string digits;
    for (char c : v->get<std::string>()) {
        if (c == ' ' || c == '\n' || c == '\t' || c == ':')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            fail(key, "'" + printable(std::string(1, c)) + "' is not a hex digit");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        fail(key, "has an odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

int64_t Section::seconds_us(const char *key, double fallback) const {
    double s = number(key, fallback, 0.0, 1e7);
    return static_cast<int64_t>(std::llround(s * 1e6));
}

int Section::errno_value(const char *key, int fallback) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (v->is_string()) {
        int e = errno_from_name(v->get<std::string>());
        if (e < 0)
            fail(key, "'" + printable(v->get<std::string>()) + "' is not an errno name");
        return e;
    }
    return static_cast<int>(integer(key, fallback, 1, 4095));
}

Scenario::Scenario() : doc_(nlohmann::json::object()), source_{"<built-in healthy board>", {}} {}

Scenario Scenario::from_json(nlohmann::json doc, const std::string &name) {
    Scenario s;
    s.source_ = {name, {}};
    return s.edited(std::move(doc));
}

Scenario Scenario::edited(nlohmann::json doc) const {
    if (!doc.is_object())
        throw ScenarioError(source_.file + ": the scenario must be a JSON object");
    Scenario s;
    s.doc_ = std::move(doc);
    s.source_ = source_;
    return s;
}

Scenario Scenario::from_text(const std::string &text, const std::string &name) {
    if (text.size() > kScenarioMaxBytes)
        throw ScenarioError(too_large(name, text.size()));
    ScenarioSource source{name, {}};
    Reader reader(source);
    if (!nlohmann::json::sax_parse(text, &reader)) {
        if (!reader.parse_failure.empty())
            throw ScenarioError(name + ": not valid JSON: " + escaped(reader.parse_failure, 400));
        Section(&reader.root, reader.refused_field, &source).fail("", reader.refused_what);
    }
    Scenario s = from_json(std::move(reader.root), name);
    s.source_ = std::move(source);
    return s;
}

Scenario Scenario::from_file(const std::string &file) {
    auto cannot = [&file](const char *what) {
        return ScenarioError(file + ": cannot be read: " + what);
    };
    struct stat st;
    if (::stat(file.c_str(), &st) != 0)
        throw cannot(std::strerror(errno));
    // A pipe (a shell's <(...)) ends and is read like a file; a directory or
    // a device such as /dev/zero is no scenario, and the latter never ends.
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
        throw ScenarioError(file + ": not a regular file (" +
                            (S_ISDIR(st.st_mode)    ? "a directory"
                             : S_ISCHR(st.st_mode)  ? "a character device"
                             : S_ISBLK(st.st_mode)  ? "a block device"
                             : S_ISSOCK(st.st_mode) ? "a socket"
                                                    : "not a file") +
                            ")");
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kScenarioMaxBytes)
        throw ScenarioError(too_large(file, static_cast<uint64_t>(st.st_size)));
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw cannot(std::strerror(errno));
    std::string text;
    char buf[65536];
    int err = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        // A pipe, or a file that grows while it is read.
        if (text.size() > kScenarioMaxBytes)
            break;
    }
    ::close(fd);
    if (err != 0)
        throw cannot(std::strerror(err));
    if (text.size() > kScenarioMaxBytes)
        throw ScenarioError(too_large(file, 0));
    return from_text(text, file);
}

} // namespace sim
