#!/usr/bin/env bash
# Builds the benchmarks optimised and runs them, then counts the system calls
# a read makes. The figures in docs/performance.md come from this command.
# Usage: scripts/bench.sh [extra Google Benchmark flags]
#        scripts/bench.sh --wine [READS [COPIES]]   the Windows timing program,
#            32-bit and 64-bit, under Wine: READS samples of one read (default
#            20000), COPIES samples of 1000 copies (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

if [ "${1:-}" = "--wine" ]; then
    shift
    echo "=== machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
    for preset in mingw-i686 mingw-x64; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" --target vantorix-win-timing >/dev/null
        "build/$preset/wine-run.sh" "build/$preset/bin/vantorix-win-timing.exe" "$@" | grep -v '^ready'
    done
    exit 0
fi
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=build/bench/bin

echo "=== machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
"$bin/vantorix_bench" --benchmark_min_time=1 "$@"

echo "=== system calls per successful read (strace -c, 10000 reads minus 0 reads)"
"$bin/vantorix-standin" >/dev/null &
monitor=$!
trap 'kill "$monitor" 2>/dev/null; wait "$monitor" 2>/dev/null || true; "$bin/vantorix-standin" --remove' EXIT
sleep 0.5
count() {
    strace -f -c -o /tmp/vantorix-strace.$$ "$bin/vantorix-read-many" "$1" >/dev/null
    awk '$NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $4 ~ /^[0-9]+$/ {print $NF, $4}' /tmp/vantorix-strace.$$
    rm -f /tmp/vantorix-strace.$$
}
count 10000 > /tmp/vantorix-calls-many.$$
count 0 > /tmp/vantorix-calls-none.$$
awk 'NR == FNR {base[$1] = $2; next}
     {per = ($2 - base[$1]) / 10000; if (per >= 0.5) {printf "  %-10s %.2f\n", $1, per; total += per}}
     END {printf "  %-10s %.2f\n", "total", total}' /tmp/vantorix-calls-none.$$ /tmp/vantorix-calls-many.$$
rm -f /tmp/vantorix-calls-many.$$ /tmp/vantorix-calls-none.$$
