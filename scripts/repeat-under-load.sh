#!/usr/bin/env bash
# Runs the tests that start and signal real processes again and again while a
# compile keeps both cores busy, in a private /dev/shm: a test that waits for
# time instead of a state fails here first.
#   linux-asan, linux-tsan   reader_tool 10 times each (serve too where the
#                            build has it: the sanitizer builds leave it out)
#   linux                    serve 10 times (the sanitizer builds' stand-in)
#   mingw-x64, mingw-i686    reader_tool, serve, bridge and stress 20 times
#                            each (the 32-bit build where the kernel runs
#                            32-bit programs), each run in a Wine session of
#                            its own (ctest's wine_session fixture)
# The tests of a preset take turns: round 1 runs each once, then round 2, so
# that a run stopped early has as many runs of each.
# Usage: scripts/repeat-under-load.sh [preset...]   (default: all five)
#   VANTORIX_REPEATS=N      rounds instead of 10 and 20
#   VANTORIX_NO_LOAD=1      no compile of its own (another run's loads the machine)
# Each build is brought up to date before its runs. Logs go to
# build/repeat-under-load/; the last line counts the runs passed and failed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VANTORIX_PRIVATE_SHM:-}" ]; then
    exec unshare -m sh -c 'mount -t tmpfs -o mode=1777 none /dev/shm &&
        exec env VANTORIX_PRIVATE_SHM=1 bash "$0" "$@"' "$PWD/scripts/repeat-under-load.sh" "$@"
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux-asan linux-tsan linux mingw-x64 mingw-i686)
logs=build/repeat-under-load
mkdir -p "$logs"

build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" >"$logs/build-$1.log" 2>&1 ||
        { echo "build of $1 failed: $logs/build-$1.log"; exit 1; }
}
build linux  # the bridge's test runs its publishers

# The load: the library and vantorix-info compiled from scratch, two jobs,
# over and over, in a build tree of its own.
if [ -z "${VANTORIX_NO_LOAD:-}" ]; then
    cmake -S . -B build/repeat-load -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORIX_BUILD_TESTS=OFF >/dev/null
    ( while :; do cmake --build build/repeat-load --clean-first -j 2 --target vantorix-info >/dev/null 2>&1 || sleep 1; done ) &
    load=$!
    trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null || true' EXIT
fi

passed=0
failed=0
repeat() {  # preset rounds test...
    local preset=$1 rounds=${VANTORIX_REPEATS:-$2} tests=() test run started seconds
    shift 2
    declare -A ok=()
    for test in "$@"; do
        if [ "$(ctest --preset "$preset" -N -R "^$test\$" | grep -c "Test *#")" = 0 ]; then
            echo "$preset $test: not in this build, skipped"
        else
            tests+=("$test")
            ok[$test]=0
        fi
    done
    for run in $(seq "$rounds"); do
        for test in "${tests[@]}"; do
            started=$(date +%s)
            if ctest --preset "$preset" -R "^$test\$" --output-on-failure >"$logs/$preset-$test-$run.log" 2>&1; then
                ok[$test]=$((ok[$test] + 1))
                passed=$((passed + 1))
            else
                failed=$((failed + 1))
                echo "$preset $test run $run FAILED: $logs/$preset-$test-$run.log"
            fi
            seconds=$(($(date +%s) - started))
            echo "$preset $test run $run: $seconds s, load $(cut -d' ' -f1 /proc/loadavg)"
        done
    done
    for test in "${tests[@]}"; do
        echo "$preset $test: ${ok[$test]} of $rounds passed"
    done
}

for preset in "${presets[@]}"; do
    build "$preset"
    case "$preset" in
        linux-asan | linux-tsan) repeat "$preset" 10 reader_tool serve ;;
        linux) repeat linux 10 serve ;;
        mingw-x64 | mingw-i686) repeat "$preset" 20 reader_tool serve bridge stress ;;
        *) echo "no repeats for $preset"; exit 2 ;;
    esac
done
echo "repeat-under-load: $passed passed, $failed failed"
[ "$failed" = 0 ]
