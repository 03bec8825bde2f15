#include "sim/kernel/scenario.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

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

int64_t parse_integer_text(const std::string &s, bool &ok) {
    ok = false;
    if (s.empty())
        return 0;
    try {
        size_t used = 0;
        long long v = std::stoll(s, &used, 0);
        ok = used == s.size();
        return v;
    } catch (const std::exception &) {
        return 0;
    }
}

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

std::string Section::field(const char *key) const {
    if (path_.empty())
        return key;
    if (key == nullptr || *key == '\0')
        return path_;
    return path_ + "." + key;
}

void Section::fail(const char *key, const std::string &what) const {
    throw ScenarioError(*file_ + ": field '" + field(key) + "': " + what);
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

Section Section::child(const char *key) const {
    return Section(get(key), field(key), file_);
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
        out.emplace_back(&(*node_)[i], path_ + "[" + std::to_string(i) + "]", file_);
    return out;
}

static int64_t json_integer(const Section &s, const char *key, const nlohmann::json &v, int64_t min,
                            int64_t max) {
    int64_t value = 0;
    if (v.is_number_integer()) {
        value = v.get<int64_t>();
    } else if (v.is_number_float()) {
        double d = v.get<double>();
        if (std::floor(d) != d)
            s.fail(key, "must be a whole number");
        value = static_cast<int64_t>(d);
    } else if (v.is_string()) {
        bool ok = false;
        value = parse_integer_text(v.get<std::string>(), ok);
        if (!ok)
            s.fail(key, "'" + v.get<std::string>() + "' is not a number");
    } else {
        s.fail(key, "must be a number");
    }
    if (value < min || value > max)
        s.fail(key, std::to_string(value) + " is out of range " + std::to_string(min) + ".." +
                        std::to_string(max));
    return value;
}

int64_t Section::integer(const char *key, int64_t fallback, int64_t min, int64_t max) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    return json_integer(*this, key, *v, min, max);
}

int64_t Section::as_integer(int64_t min, int64_t max) const {
    if (!present())
        fail("", "must be a number");
    return json_integer(*this, "", *node_, min, max);
}

std::string Section::as_text() const {
    if (!present() || !node_->is_string())
        fail("", "must be a text");
    return node_->get<std::string>();
}

double Section::number(const char *key, double fallback, double min, double max) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (!v->is_number())
        fail(key, "must be a number");
    double d = v->get<double>();
    if (!(d >= min && d <= max))
        fail(key, "is out of range");
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

std::string Section::text(const char *key, const std::string &fallback) const {
    const nlohmann::json *v = get(key);
    if (v == nullptr)
        return fallback;
    if (!v->is_string())
        fail(key, "must be a text");
    return v->get<std::string>();
}

std::string Section::choice(const char *key, const std::string &fallback,
                            std::initializer_list<const char *> allowed) const {
    std::string value = text(key, fallback);
    std::string names;
    for (const char *a : allowed) {
        if (value == a)
            return value;
        names += std::string(names.empty() ? "" : ", ") + a;
    }
    fail(key, "'" + value + "' is not one of: " + names);
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
            fail(key, std::string("'") + c + "' is not a hex digit");
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
            fail(key, "'" + v->get<std::string>() + "' is not an errno name");
        return e;
    }
    return static_cast<int>(integer(key, fallback, 1, 4095));
}

Scenario::Scenario() : doc_(nlohmann::json::object()), file_("<built-in healthy board>") {}

Scenario Scenario::from_json(nlohmann::json doc, const std::string &name) {
    Scenario s;
    s.doc_ = std::move(doc);
    s.file_ = name;
    if (!s.doc_.is_object())
        throw ScenarioError(name + ": the scenario must be a JSON object");
    return s;
}

Scenario Scenario::from_text(const std::string &text, const std::string &name) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        throw ScenarioError(name + ": not valid JSON: " + e.what());
    }
    return from_json(std::move(doc), name);
}

Scenario Scenario::from_file(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw ScenarioError(file + ": cannot be read: " + std::strerror(errno));
    std::stringstream ss;
    ss << in.rdbuf();
    return from_text(ss.str(), file);
}

} // namespace sim
