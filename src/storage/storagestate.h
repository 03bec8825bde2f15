// The storage subsystem's process-wide values that more than one of its
// files reaches, so that one routine can put them all back to their
// start values.
#pragma once

#include <cstdint>

// The kernel version code; -1 until it has been worked out.
extern int32_t kernelversion;
