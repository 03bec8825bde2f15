// Placeholder until the port-multiplier scan is built.
#include "driver/driver.h"

void pmptest() {}
