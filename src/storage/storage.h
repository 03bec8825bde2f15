// Storage: the SATA disk test and the port multipliers' firmware.
#pragma once

#include <cstdint>

int satatest();
// Checks (and when needed rewrites) the flash of the port multiplier
// behind the open disk descriptor fd, which it takes over and closes.
int pmpupdate(int fd);
// 1 after the last pmpupdate programmed the flash.
int32_t firmwareupdated();
