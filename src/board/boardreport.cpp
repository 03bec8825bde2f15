// Placeholder until the board information report is built.
#include "board/boardreport.h"

int boardinfotest() { return 0; }
void printboardinfo(const boardinfo &) {}
