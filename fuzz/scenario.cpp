// The scenario reader, from the text of a file to a run.
//
// The input is the text of a scenario file. It is read as ftq-sim reads a
// file, the board is built from it, and a scenario that is accepted runs ftq
// with its own "args" (at most 120 s of virtual time and 200000 calls
// without time passing, so that a hang or a busy loop ends quickly).
//
// Invariant: either the scenario is refused before the run with a message
// that is one printable line starting with the file's name, or the run
// takes place. Any other exception, and a refusal from inside the run (a
// field read only when the program reaches it), ends the fuzzer.
#include "fuzzsupport.h"

#include "sim/harness/harness.h"

namespace {

// The run's limits, lowered the way a tool would, leaving a malformed
// system section for the board to refuse.
sim::Scenario bounded(const sim::Scenario &s) {
    fuzz::json doc = s.doc();
    fuzz::json &system = doc["system"];
    if (system.is_null())
        system = fuzz::json::object();
    if (system.is_object()) {
        fuzz::json &spin = system["spin_limit"];
        if (spin.is_null() || (spin.is_number() && spin.get<double>() > 200000))
            spin = 200000;
    }
    return s.edited(std::move(doc));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string file = "fuzz.json";
    std::unique_ptr<sim::Session> board;
    std::vector<std::string> args;
    try {
        sim::Scenario s =
            sim::Scenario::from_text(std::string(reinterpret_cast<const char *>(data), size), file);
        args = sim::scenario_args(s);
        sim::SessionOptions options;
        options.time_limit_s = 120;
        board = std::make_unique<sim::Session>(bounded(s), options);
    } catch (const sim::ScenarioError &e) {
        std::string m = e.what();
        FUZZ_CHECK(nullptr, m.rfind(file + ": ", 0) == 0 && m.size() > file.size() + 2,
                   "the message does not name the file: %s", m.c_str());
        for (unsigned char c : m)
            FUZZ_CHECK(nullptr, c >= 0x20 && c != 0x7F, "the message holds byte 0x%02x: %s", c,
                       m.c_str());
        return 0;
    }
    board->run_ftq(args);
    return 0;
}
