// Buzzer signals, the port-multiplier reset and the watchdog restart.
#pragma once

void beep(int count);
int okbeep();
int buzzertest();
int errorbeep();
int resetjmb321(int mask);
int watchdogtest();
