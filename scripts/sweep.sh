#!/usr/bin/env bash
# Builds the robustness sweep and runs it twice, failing calls and then
# interrupting the program (see docs/robustness.md), then prints its figures and
# the peak memory of a whole run of ftq-sim.
#
#   scripts/sweep.sh [--full] [--preset NAME] [--jobs N]
#
# The default is the CI run: every catalog scenario, each call site failed at
# its first occurrence in each part of the program; SIGINT at every blocking
# point and at the entry and the return of every call of a healthy and a
# failed whole run and of tests 3 to 6.
# --full also fails each site's last occurrence and three between them (for
# sites met many times), and interrupts every catalog scenario too.
# --preset builds with that CMake preset (default host; asan runs the sweeps
# under AddressSanitizer and UndefinedBehaviorSanitizer).
#
# Exits non-zero when a rule is broken (a break that the program makes by
# design is listed with its reason and does not count).
set -euo pipefail
cd "$(dirname "$0")/.."

full=""
preset=host
jobs=2
while [ $# -gt 0 ]; do
    case "$1" in
    --full) full=1 ;;
    --preset) preset=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    *) echo "usage: scripts/sweep.sh [--full] [--preset NAME] [--jobs N]" >&2; exit 2 ;;
    esac
    shift
done

./scripts/setup.sh
cmake --preset "$preset" > /dev/null
cmake --build --preset "$preset" --target sweeps ftq-sim
bin=build/$preset
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
log=$bin/sweep-logs
mkdir -p "$log"

run() {
    local name=$1
    shift
    echo "== $name"
    local start=$SECONDS
    if "$@" > "$log/$name.txt" 2>&1; then
        :
    else
        echo "   $name broke a rule or failed (exit status $?)"
        status=1
    fi
    cat "$log/$name.txt"
    echo "   ($((SECONDS - start)) s)"
}

run faults "$bin/sweep/fault_sweep" --jobs "$jobs" ${full:+--full}
run signals "$bin/sweep/fault_sweep" --signals --jobs "$jobs" ${full:+--full}

echo "== peak memory of a whole run"
if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$bin/ftq-sim" > /dev/null 2> "$log/time.txt" || true
    grep -E "Maximum resident set size" "$log/time.txt" | sed 's/^\s*/   ftq-sim, healthy board: /'
else
    echo "   /usr/bin/time is not installed (apt-get install time)"
fi

echo "== figures"
grep -hE "^fault sweep|^signal sweep|^(pairs|interrupts) tried:|^by design|^handler in force" \
    "$log/faults.txt" "$log/signals.txt" | sed 's/^/   /'
if [ $status -ne 0 ]; then
    echo "a robustness rule is broken: see the lists above" >&2
fi
exit $status
