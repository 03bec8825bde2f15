// The command line through ftq's entry point.
//
// The input is split at its zero bytes into at most four arguments. ftq
// runs with them on a healthy board whose fixtures answer at once, whose
// operator is away and whose firmware image is small, so that any test or
// the whole run ends quickly.
//
// Invariants: whatever the arguments, the run ends normally with status 0,
// it starts with the board type line, and no buffer leaks a NUL byte into
// what it prints. Which command line does what is pinned by the catalog
// (cmdline-*).
#include "fuzzsupport.h"

namespace {

using fuzz::json;

constexpr size_t kMaxArgs = 4;
constexpr size_t kMaxInput = 256;

const json &scenario() {
    static const json doc = [] {
        json storage = fuzz::small_storage();
        storage["drives"] = json::array({"sda"});
        return json{
            {"console", {{"operator", "absent"}}},
            {"panel", {{"keys", json::array()}}},
            {"disks", storage},
            {"system", {{"time_limit", 600}, {"spin_limit", 200000}}},
        };
    }();
    return doc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxInput)
        return -1;
    std::vector<std::string> args;
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t from = 0; size > 0 && args.size() < kMaxArgs;) {
        size_t nul = text.find('\0', from);
        bool last = nul == std::string::npos || args.size() + 1 == kMaxArgs;
        args.push_back(text.substr(from, last ? std::string::npos : nul - from));
        if (last)
            break;
        from = nul + 1;
    }
    auto board = fuzz::ftq(scenario(), args);
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run ended: %s", b->result.describe().c_str());
    std::string out = b->out();
    FUZZ_CHECK(b, out.substr(0, out.find('\n') + 1).ends_with(" Type  1 \n"),
               "the output does not start with the board type line");
    FUZZ_CHECK(b, out.find('\0') == std::string::npos, "the output holds a NUL byte");
    return 0;
}
