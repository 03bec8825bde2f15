// What a run on the simulated board shows a person: the console transcript
// in UTF-8, where the virtual time went, and what the board did.
#pragma once

#include "sim/kernel/kernel.h"

#include <string>

namespace sim {

// The whole run's steps with their virtual start and duration (empty for a
// run without numbered steps).
std::string step_table(const Kernel &k, const RunResult &r);
class Session;

// What the board did: the watchdog requests, buzzer tones, the panel link
// (its settings, LED modes, heartbeats and anything malformed on it), the
// RS-485 port, chip resets, files removed, processes killed, each port
// multiplier's flash, the test result record, the descriptors left open
// and how the program ended.
std::string board_report(const Session &s);

} // namespace sim
