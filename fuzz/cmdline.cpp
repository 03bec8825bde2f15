// The command line through ftq's entry point.
//
// The input is split at its zero bytes into at most four arguments. ftq
// runs with them on a healthy board whose fixtures answer at once, whose
// operator is away and whose firmware image is small, so that any test or
// the whole run ends quickly.
//
// Checks, from the command line rules: the run ends normally with status
// 0; a rejected number or option prints exactly its message after the
// board type line and tests nothing; otherwise the program does exactly
// what the canonical command line for the same choice does (ftq -h, ftq -o
// N, or ftq alone), byte for byte, with the length warning in front when
// the number text is longer than two characters.
#include "fuzzsupport.h"

#include <cstring>
#include <map>

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

// What the command line asks for.
struct Choice {
    enum Kind { Help, Whole, Test, Rejected } kind = Whole;
    int test = 0;
    std::string printed; // Rejected: what follows the board type line
    bool warned = false; // Test: the length warning comes first
};

const char *const kWarning = "请选择测试序号(1~11)\n";

Choice choose(const std::vector<std::string> &args) {
    Choice c;
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        c.kind = Choice::Help;
        return c;
    }
    if (args.size() != 2)
        return c;
    if (args[0] != "-o" && args[0] != "-O") {
        c.kind = Choice::Rejected;
        c.printed = "参数非法\n";
        return c;
    }
    const std::string &n = args[1];
    if (n.size() > 2) {
        c.warned = true;
        c.printed = kWarning;
    }
    auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    int number = 0;
    if (n.empty()) {
        number = 0;
    } else if (!digit(n[0])) {
        c.kind = Choice::Rejected;
        c.printed += kWarning;
        return c;
    } else if (n.size() >= 2 && digit(n[1])) {
        number = 10 * (n[0] - '0') + (n[1] - '0');
    } else if (n.size() == 1) {
        number = n[0] - '0';
    } else {
        c.kind = Choice::Rejected;
        c.printed += kWarning;
        return c;
    }
    if (number < 1 || number > 11) {
        c.kind = Choice::Rejected;
        c.printed += "请输入正确的测试序号.(1~11)";
        return c;
    }
    c.kind = Choice::Test;
    c.test = number;
    return c;
}

// The board type line, and what follows it.
std::pair<std::string, std::string> split(const std::string &out) {
    size_t eol = out.find('\n');
    if (eol == std::string::npos)
        return {out, ""};
    return {out.substr(0, eol + 1), out.substr(eol + 1)};
}

// The output of a canonical command line, worked out once.
const std::string &canonical(const std::vector<std::string> &args) {
    static std::map<std::vector<std::string>, std::string> outputs;
    auto it = outputs.find(args);
    if (it != outputs.end())
        return it->second;
    auto b = fuzz::ftq(scenario(), args);
    FUZZ_CHECK(b.get(), fuzz::exited(*b, 0), "canonical run ended: %s",
               b->result.describe().c_str());
    return outputs[args] = b->out();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxInput)
        return -1;
    std::vector<std::string> args;
    if (size > 0) {
        std::string text(reinterpret_cast<const char *>(data), size);
        size_t from = 0;
        for (;;) {
            size_t nul = text.find('\0', from);
            if (nul == std::string::npos || args.size() + 1 == kMaxArgs) {
                // The last argument ends at the next zero byte, if any.
                args.push_back(text.substr(from, nul == std::string::npos ? nul : nul - from));
                break;
            }
            args.push_back(text.substr(from, nul - from));
            from = nul + 1;
        }
    }

    Choice c = choose(args);
    auto board = fuzz::ftq(scenario(), args);
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "ftq did not end with status 0: %s",
               b->result.describe().c_str());
    auto [typeline, rest] = split(b->out());
    FUZZ_CHECK(b, typeline == " 设备类型 Type  1 \n", "the board type line is missing");

    std::string want;
    switch (c.kind) {
    case Choice::Rejected:
        want = c.printed;
        FUZZ_CHECK(b, b->count("panel", "open") == 0, "a rejected command line opened the panel");
        break;
    case Choice::Help:
        want = split(canonical({"-h"})).second;
        break;
    case Choice::Whole:
        want = split(canonical({})).second;
        break;
    case Choice::Test:
        want = (c.warned ? std::string(kWarning) : std::string()) +
               split(canonical({"-o", std::to_string(c.test)})).second;
        break;
    }
    FUZZ_CHECK(b, rest == want, "the command line was handled as something else; expected:\n%s",
               want.c_str());
    return 0;
}
