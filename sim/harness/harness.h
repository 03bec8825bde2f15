// Runs the product on the simulated board.
#pragma once

#include "sim/kernel/kernel.h"

#include <string>
#include <vector>

namespace sim {

// Runs ftq with these arguments (without the program name) on the board,
// starting from the state a fresh process has.
RunResult run_ftq(Kernel &kernel, const std::vector<std::string> &args);

// The ftq arguments a scenario asks for ("args"), empty for the whole run.
std::vector<std::string> scenario_args(const Scenario &scenario);

// The scenario catalog: the folder, and the file of a scenario given by
// its name.
std::string catalog_dir();
std::string catalog_file(const std::string &name);

// Converts the program's GB2312 console text to UTF-8 (bytes that do not
// convert are shown as U+FFFD). Empty optional when the system cannot
// convert at all.
std::string gb2312_to_utf8(const std::string &bytes, bool *ok = nullptr);
// The same for a stream that comes in pieces: a character cut between two
// pieces is held back in `pending` until its second byte comes.
std::string gb2312_stream_to_utf8(std::string &pending, const std::string &bytes);

} // namespace sim
