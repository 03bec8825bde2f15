// Process-wide state, subsystem by subsystem. A fresh process starts with
// all of it at its initial values; the simulated board runs the program
// many times in one host process and resets it before each run.
#pragma once

void driver_reset_state();
void board_reset_state();
void panel_reset_state();
void peripheral_reset_state();
void storage_reset_state();

void reset_process_state();
