// Playing the operator: virtual time paced to the wall clock, the terminal
// handed to a person whose keys drive the console and the panel keys.
#pragma once

#include "sim/kernel/kernel.h"

namespace sim {

class InteractiveSession {
  public:
    // speed: virtual seconds per wall-clock second.
    InteractiveSession(Kernel &kernel, double speed);
    ~InteractiveSession();
    InteractiveSession(const InteractiveSession &) = delete;
    InteractiveSession &operator=(const InteractiveSession &) = delete;
};

} // namespace sim
