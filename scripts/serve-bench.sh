#!/usr/bin/env bash
# Measures vantorix-info --serve beside Debian's prometheus-node-exporter on
# loopback (bench/serve_bench.py): memory, idle wake-ups, CPU per scrape and
# scrape latency with 1,000 idle connections. The figures in
# docs/performance.md ("Serving") come from this command. Runs in a private
# /dev/shm (as root), so that no other monitor's objects are read.
#     scripts/serve-bench.sh [--scrapes N] [--idle-seconds S]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${VANTORIX_BENCH_PRIVATE:-}" ] && [ "$(id -u)" -eq 0 ]; then
    exec env VANTORIX_BENCH_PRIVATE=1 unshare --mount --propagation private \
        sh -c 'mount -t tmpfs tmpfs /dev/shm && exec "$0" "$@"' "$0" "$@"
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target vantorix-info vantorix-standin >/dev/null
echo "=== machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== $(prometheus-node-exporter --version 2>&1 | head -1)"
/usr/bin/python3 bench/serve_bench.py --bin build/linux/bin "$@"
echo "=== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
