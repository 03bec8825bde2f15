#!/usr/bin/env bash
# The benchmarks whose figures stand in the README. Run on a quiet machine
# if you can; each prints medians over several runs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset host > /dev/null
cmake --build --preset host --target bench ftq-sim > /dev/null

echo "== whole run on the simulated board"
./build/host/bench_wholerun 21
echo "== test 10 on a 64 KiB image"
./build/host/bench_test10
echo "== console wait at end of input (Linux backend)"
./build/host/bench_consolewait_eof 5
echo "== ftq-record: parse of 10,000 whole runs, store of 10,000 records, memory"
./build/host/record/bench_record

echo "== paced (interactive) whole run at 4x, scripted operator: wall, CPU"
scenario=$(mktemp --suffix=.json)
cat > "$scenario" <<'JSON'
{ "description": "default board with its scripted operator, for pacing",
  "console": { "operator": "enter" },
  "panel": { "keys": [ { "at": 1, "key": "ENTER", "state": "click" }, { "at": 2, "key": "UP", "state": "click" },
                       { "at": 3, "key": "DOWN", "state": "click" }, { "at": 4, "key": "LEFT", "state": "click" },
                       { "at": 5, "key": "RIGHT", "state": "click" }, { "at": 6, "key": "MENU" } ] } }
JSON
for i in 1 2 3; do
    /usr/bin/time -f "wall %e s, CPU %U s user + %S s system" \
        ./build/host/ftq-sim --interactive --speed 4 --scenario "$scenario" < /dev/null 2>&1 >/dev/null |
        tail -1
done
rm -f "$scenario"
./build/host/ftq-sim --scenario healthy-type1 | grep "what the board did"

if command -v arm-linux-gnueabihf-strip > /dev/null && [ -x build/arm/ftq ]; then
    echo "== ARM ftq, stripped"
    arm-linux-gnueabihf-strip -o /tmp/ftq-arm-stripped build/arm/ftq
    stat -c "%s bytes" /tmp/ftq-arm-stripped
fi
