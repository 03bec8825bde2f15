#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang 14 with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS is the time per target (default 60); TARGET names fuzz/<TARGET>.cpp
# (default: all of them). Each target starts from its seed corpus in
# fuzz/corpus/<TARGET>/, which it only reads; what it finds on the way is
# kept under build/fuzz/runs/. Prints the executions of every target and
# exits non-zero when any target reports a crash, a leak, a timeout, a
# memory blow-up or a sanitizer finding (the input is saved as
# build/fuzz/findings/<TARGET>-crash-..., see docs/fuzzing.md).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
    exit 2
fi

packages=(cmake make clang-14 libclang-rt-14-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake --preset fuzz > /dev/null
cmake --build --preset fuzz

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for src in fuzz/*.cpp; do
        targets+=("$(basename "$src" .cpp)")
    done
fi

# The longest input worth trying, per target: past it a target only
# repeats what shorter inputs reach, more slowly.
max_len() {
    case "$1" in
    panel) echo 1025 ;;
    boardinfo) echo 257 ;;
    cmdline) echo 64 ;;
    usb) echo 1024 ;;
    sata) echo 700 ;;
    pmpupdate) echo 4200 ;;
    scenario) echo 4096 ;;
    *) echo 4096 ;;
    esac
}

runs=build/fuzz/runs
findings=build/fuzz/findings
mkdir -p "$runs" "$findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
summary=()
for t in "${targets[@]}"; do
    bin=build/fuzz/fuzz/fuzz_$t
    if [ ! -x "$bin" ] || [ ! -d "fuzz/corpus/$t" ]; then
        echo "no fuzz target or seed corpus named '$t'" >&2
        exit 2
    fi
    mkdir -p "$runs/$t"
    log="$runs/$t.log"
    # The scenario reader also starts from every scenario of the catalog.
    seeds=()
    if [ "$t" = scenario ]; then
        rm -rf build/fuzz/catalog && mkdir -p build/fuzz/catalog
        cp scenarios/*.json build/fuzz/catalog/
        seeds=(build/fuzz/catalog)
    fi
    echo "== $t: $seconds s"
    status=0
    "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=30 \
        -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$findings/$t-" \
        "$runs/$t" "fuzz/corpus/$t" "${seeds[@]}" > "$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    took=${took:-$seconds}
    [ "$took" -gt 0 ] || took=1
    if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|FUZZ CHECK FAILED' "$log"; then
        failed+=("$t")
        summary+=("$(printf '%-10s FAILED after %s executions (exit %d), see %s' "$t" "${execs:-?}" "$status" "$log")")
        grep -E 'FUZZ CHECK FAILED|ERROR:|runtime error:|SUMMARY|Test unit written' "$log" | head -n 5 >&2 || true
    else
        summary+=("$(printf '%-10s %10s executions in %s s (%s per second)' "$t" "$execs" "$took" \
            "$((execs / took))")")
    fi
done

echo
echo "Fuzzing, $seconds s per target:"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
