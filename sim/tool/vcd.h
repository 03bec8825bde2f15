// A Value Change Dump of a run over virtual time, for GTKWave: the board's
// signals as the trace recorded them.
#pragma once

#include "sim/kernel/kernel.h"

#include <ostream>

namespace sim {

void write_vcd(const Kernel &kernel, const RunResult &result, std::ostream &out);

} // namespace sim
