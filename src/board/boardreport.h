// Test 1: the board information report.
#pragma once

#include "board/boardinfo.h"

int boardinfotest();
void printboardinfo(const boardinfo &info);
