#!/usr/bin/env bash
# Builds ftq and ftq-sim and runs the whole factory test on the default
# simulated board. Arguments go to ftq-sim (see ftq-sim --help).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset host > /dev/null
cmake --build --preset host --target ftq ftq-sim > /dev/null
exec ./build/host/ftq-sim "$@"
