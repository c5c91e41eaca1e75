#!/usr/bin/env bash
# Builds every preset and runs every test that can run on this machine:
#   linux       native build and tests
#   linux-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   linux-tsan  the same under ThreadSanitizer
#   mingw-i686  32-bit Windows build, the reference target: every test under
#               Wine's 32-bit loader (where the kernel cannot run 32-bit
#               programs: built, exports checked, the rest listed as not run)
#   mingw-x64   64-bit Windows build, every test under Wine
#   msvc-i686   32-bit Windows DLL with the Microsoft C++ ABI: its client runs
#               under Wine's 32-bit loader (same fallback), exports checked
#   msvc-x64    64-bit Windows DLL with the Microsoft C++ ABI: its client runs
#               under Wine, exports checked
#   fuzz        vantorix-info's outputs under clang's libFuzzer for a minute,
#               and the MQTT codec for half a minute, from the committed
#               corpora (tests/fuzz/)
# The Windows timing program (bench/win_timing.cpp) is built with the MinGW
# presets but run only by scripts/bench.sh --wine.
#   deb         the .deb: built, installed on this machine, used and removed (as root)
#   windows-zip the Windows .zip from the four Windows builds: its files, and its tool under Wine;
#               and the installers (.msi): installed, served from a restart, upgraded and removed under Wine
#   nuget       the .NET binding's NuGet package, with the MinGW and linux builds' libraries:
#               its files, and a read through it with Mono (the binding's own tests are linux's)
#   bench       the benchmarks, built only: scripts/bench.sh runs them
# It ends with a line per preset: what ran, and what did not and why.
# A whole run as root goes in two lanes side by side, native and Windows,
# each building a preset and then testing it, so that one lane's tests run
# while the other builds; the Windows lane has a loopback and /dev/shm of
# its own. The linux build comes first, the .deb last.
# The suites publish under the monitor's real names: as root they run in a
# mount namespace of their own with an empty /dev/shm, so a monitor of yours
# keeps publishing beside them; otherwise they refuse to start while it runs.
# Usage: scripts/test.sh [--soak] [preset...]   (default: all of them)
#   --soak      also the long Wine soaks (ctest label soak)
# The steps it takes run alone too (scripts/test/): preset.sh PRESET,
# windows-zip.sh, nuget.sh, and presets.sh PRESET... for several in a row.
# Each adds a line to the run's results file (build/test-results.tsv), from
# which scripts/test/summary.sh makes the summary.
set -euo pipefail
source "$(dirname "$0")/test/common.sh"
if [ "${1:-}" = --soak ]; then export VANTORIX_SOAK=1; shift; fi
private_shm scripts/test.sh "$@"
mkdir -p build
results=build/test-results.tsv
rm -f "$results"

# The two lanes of a whole run, side by side (below); the .deb comes after
# both, since it takes the bridge from the MinGW trees.
native=(linux linux-asan linux-tsan fuzz bench)
windows=(mingw-i686 mingw-x64 msvc-i686 msvc-x64 windows-zip nuget)
presets=("$@")
lanes=no
if [ ${#presets[@]} -eq 0 ]; then
    presets=("${native[@]}" "${windows[@]}" deb)
    lanes=yes
fi
install_for "${presets[@]}"

# The Windows lane needs a /dev/shm and a loopback of its own, so that
# neither lane sees the other's monitor or takes the port it probed.
if [ "$lanes" = yes ] && ! { [ -n "${VANTORIX_PRIVATE_SHM:-}" ] && command -v ip >/dev/null &&
                             unshare --net true 2>/dev/null; }; then
    lanes=no
fi

# Runs one lane (scripts/test/presets.sh on its presets, with a results file
# of its own) into build/lane-NAME.log, showing only its headings as it goes.
lane() {
    local name=$1
    shift
    "$@" 2>&1 | tee "build/lane-$name.log" | grep --line-buffered '^=== [a-z]' | sed -u "s/^=== /=== [$name] /"
    return "${PIPESTATUS[0]}"
}

if [ "$lanes" = yes ]; then
    # The root the .deb's units boot in (deb_systemd), made meanwhile: most
    # of it is waiting for Debian's archive.
    root_maker=
    if [ "$(id -u)" -eq 0 ]; then
        /usr/bin/python3 tests/package/deb_systemd_test.py --build build/deb --make-root >build/systemd-root.log 2>&1 &
        root_maker=$!
    fi
    # First the linux build, whose programs the bridge's tests (Windows lane) run.
    echo "=== linux (built first: the bridge's tests run its programs)"
    linux_built=
    cmake --preset linux "${configure[@]}" >/dev/null && cmake --build --preset linux && linux_built=--linux-built || true
    echo "=== two lanes, side by side: ${native[*]} | ${windows[*]}"
    rm -f build/lane-native.tsv build/lane-windows.tsv
    lane native bash scripts/test/presets.sh --results build/lane-native.tsv "${native[@]}" &
    native_lane=$!
    lane windows unshare --mount --net --propagation private bash -c \
        'ip link set lo up && mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash scripts/test/presets.sh "$@"' \
        bash --results build/lane-windows.tsv $linux_built "${windows[@]}" &
    windows_lane=$!
    declare -A lane_status=([native]=0 [windows]=0)
    wait "$native_lane" || lane_status[native]=$?
    wait "$windows_lane" || lane_status[windows]=$?
    for name in native windows; do
        echo "=== the $name lane's output"
        cat "build/lane-$name.log"
        touch "build/lane-$name.tsv"
        cat "build/lane-$name.tsv" >>"$results"
        # A lane that failed without a preset's line saying so is named itself.
        if [ "${lane_status[$name]}" -ne 0 ] && ! cut -f2 "build/lane-$name.tsv" | grep -qx failed; then
            printf '%s\t%s\t%s\n' "$name-lane" failed \
                "$name lane: FAILED (exit ${lane_status[$name]}; its output is above)" >>"$results"
        fi
    done
    # deb_systemd would wait for it anyway; here its output is shown.
    if [ -n "$root_maker" ]; then
        wait "$root_maker" || true
        echo "=== the .deb test's root, made beside the lanes: $(tail -n 1 build/systemd-root.log)"
    fi
    echo "=== deb"
    bash scripts/test/preset.sh --results "$results" deb || true
else
    bash scripts/test/presets.sh --results "$results" "${presets[@]}" || true
fi

echo "=== what ran"
exec bash scripts/test/summary.sh "$results"
