// Shared by the fuzz targets: one run of the product on a simulated board
// built from a scenario, and the checks that stop the fuzzer with a report.
#pragma once

#include "sim/harness/session.h"

#include <nlohmann/json.hpp>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

using json = nlohmann::json;

using Board = sim::Session;

inline std::string hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string hex(const std::vector<uint8_t> &bytes) {
    return hex(bytes.data(), bytes.size());
}

// The board's state as a bug report needs it: what the program printed and
// how the run ended. Printed before aborting so that a crash file comes
// with its story.
inline void dump(const Board *b) {
    if (b == nullptr || !b->kernel)
        return;
    std::string out = b->out();
    if (out.size() > 8000)
        out = out.substr(0, 4000) + "\n[...]\n" + out.substr(out.size() - 4000);
    std::fprintf(stderr, "---- console (%zu bytes) ----\n%s\n---- end: %s at %lld us ----\n",
                 b->out().size(), out.c_str(), b->result.describe().c_str(),
                 static_cast<long long>(b->result.finished_at));
}

[[noreturn]] inline void fail(const Board *b, const char *fmt, ...) {
    dump(b);
    std::va_list ap;
    va_start(ap, fmt);
    std::fputs("FUZZ CHECK FAILED: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

#define FUZZ_CHECK(board, cond, ...)                                                               \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::fail(board, __VA_ARGS__);                                                      \
    } while (0)

// A board whose storage is as small as the models allow, for targets that
// never reach it: building a 64 KiB image and flash for every run would
// cost more than the run itself.
inline json small_storage() {
    return {{"image", {{"length", 256}}},
            {"chips", json::array({{{"flash", {{"size", 256}}}}})},
            {"drives", json::array()}};
}

inline std::unique_ptr<Board> make_board(const json &doc) {
    // The targets build only scenarios the models accept: a rejected one is
    // a fault of the target, not a finding.
    try {
        return std::make_unique<Board>(sim::Scenario::from_json(doc, "<fuzz>"));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "scenario: %s\n%s\n", e.what(),
                     doc.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
        std::abort();
    }
}

// body runs as process 1 from a fresh process state; its result is the
// exit status.
inline std::unique_ptr<Board> on_board(const json &doc,
                                       const std::function<int(sim::Kernel &)> &body) {
    auto b = make_board(doc);
    b->run_routine(body);
    return b;
}

// ftq itself with these arguments.
inline std::unique_ptr<Board> ftq(const json &doc, const std::vector<std::string> &args) {
    auto b = make_board(doc);
    b->run_ftq(args);
    return b;
}

inline bool exited(const Board &b, int code) {
    return b.result.end == sim::RunResult::End::Exited && b.result.code == code;
}

// Reads the fuzz input front to back; past its end every read gives 0.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t word() {
        uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> r(data_ + pos_, data_ + size_);
        pos_ = size_;
        return r;
    }
    size_t left() const { return size_ - pos_; }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace fuzz
