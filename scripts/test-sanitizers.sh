#!/usr/bin/env bash
# Builds the suite under AddressSanitizer with UndefinedBehaviorSanitizer and
# runs all of it, then under ThreadSanitizer and runs it again. Every
# simulated task (the main program, the heartbeat thread, the RS-485
# receiver) is a thread of its own, and the real-device tests fork, so the
# whole suite exercises threads and processes. Any report fails the run.
#
#   scripts/test-sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(asan tsan)
for p in "${presets[@]}"; do
    case "$p" in
    asan | tsan) ;;
    *) echo "usage: scripts/test-sanitizers.sh [asan|tsan]..." >&2; exit 2 ;;
    esac
done

./scripts/setup.sh
for p in "${presets[@]}"; do
    echo "== $p"
    cmake --preset "$p" > /dev/null
    cmake --build --preset "$p"
    ctest --preset "$p" -j2
done
