// The entry point, the command line and the console wait.
#pragma once

int ftq_main(int argc, char **argv);
int printhelp();
// Waits at most `seconds` for a line on standard input and reads up to 20
// bytes of it into buf (at least 20 bytes). 0 on time-out or failure,
// otherwise the number of bytes read minus one.
int consolewait(char *buf, int seconds);
int stopmainapp();
// Test 10: the port-multiplier firmware check of every chip.
void pmptest();
