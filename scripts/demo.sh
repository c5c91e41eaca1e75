#!/usr/bin/env bash
# The demo: builds the tools it runs, starts a publisher, shows a few refreshes
# of what the reader sees, and stops the publisher again, leaving nothing
# behind. Its build trees (build/demo, build/demo-wine) have no tests, so it
# needs no test tool: scripts/test.sh installs those.
#   scripts/demo.sh          Linux: vantorix-publisher, this machine's live readings
#   scripts/demo.sh --wine   the Windows x86-64 build under Wine, the stand-in
#                            monitor's synthetic readings
set -euo pipefail

usage() {
    cat <<'TEXT'
usage: scripts/demo.sh [--wine]
Builds the tools it runs (installing what they need with apt-get) into
build/demo (--wine: build/demo-wine), starts a publisher,
shows a few reads of what vantorix-info sees, and stops the publisher again.
  (no option)  Linux: vantorix-publisher publishes this machine's readings
  --wine       the Windows x86-64 build under Wine, with the stand-in
               monitor's synthetic readings
  --help       print this and do nothing else
TEXT
}
case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    ""|--wine) ;;
    *) usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 2; }
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--wine" ]; then
    bash scripts/install-deps.sh linux windows
    preset=demo-wine
    run=(build/demo-wine/wine-run.sh)
    exe=.exe
    publisher=(vantorix-standin --synthetic --rate 1)
else
    bash scripts/install-deps.sh linux
    preset=demo
    run=()
    exe=
    publisher=(vantorix-publisher)
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target "${publisher[0]}" vantorix-standin vantorix-info >/dev/null
bin="build/$preset/bin"

echo "Starting the publisher: ${publisher[*]}"
"${run[@]}" "$bin/${publisher[0]}$exe" "${publisher[@]:1}" >/dev/null &
monitor=$!
stop_monitor() {
    if [ "$preset" = demo ]; then
        kill -TERM "$monitor" 2>/dev/null
        wait "$monitor" 2>/dev/null || true
        "$bin/vantorix-standin" --remove  # the mutex file too, now that nothing runs
    else
        kill -KILL "$monitor" 2>/dev/null  # Wine does not pass SIGTERM on
        wait "$monitor" 2>/dev/null || true
    fi
}
trap stop_monitor EXIT
until "${run[@]}" "$bin/vantorix-info$exe" >/dev/null 2>&1; do
    if ! kill -0 "$monitor" 2>/dev/null; then
        echo "The publisher did not start (see its message above)." >&2
        exit 1
    fi
    sleep 0.2
done

for round in 1 2 3; do
    sleep 1.5
    echo
    echo "--- vantorix-info, read $round"
    "${run[@]}" "$bin/vantorix-info$exe"
done
echo
echo "--- vantorix-info --json"
"${run[@]}" "$bin/vantorix-info$exe" --json
echo
echo "For a live view: $bin/vantorix-info$exe --watch (while a monitor runs)."
