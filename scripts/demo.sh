#!/usr/bin/env bash
# The demo: builds the native tools, starts the stand-in monitor publishing,
# shows what a client reads, and stops the monitor again, leaving nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target vantorix-standin vantorix-read-once >/dev/null
bin=build/linux/bin

"$bin/vantorix-standin" --rate 2 >/dev/null &
monitor=$!
trap 'kill "$monitor" 2>/dev/null; wait "$monitor" 2>/dev/null || true' EXIT
sleep 0.5
for round in 1 2 3; do
    echo "--- read $round"
    "$bin/vantorix-read-once"
    sleep 1
done
