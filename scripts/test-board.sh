#!/usr/bin/env bash
# Builds ftq and the tests for the board (32-bit ARM Linux) and runs the
# tests under qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --board
cmake --preset arm
cmake --build --preset arm
ctest --preset arm
