#!/usr/bin/env bash
# Builds everything for this machine and runs all the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset host
cmake --build --preset host
ctest --preset host
