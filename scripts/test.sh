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
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --soak ]; then export VANTORIX_SOAK=1; shift; fi

if [ -z "${VANTORIX_PRIVATE_SHM:-}" ]; then
    if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
        export VANTORIX_PRIVATE_SHM=1
        exec unshare --mount --propagation private bash -c \
            'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash scripts/test.sh "$@"' bash "$@"
    fi
    # A monitor is live while it holds the lock on its region (flock: 75).
    region=/dev/shm/VantorixMappingObject.$(id -u)
    locked=0
    { flock -n -s -E 75 9 || locked=$?; } 2>/dev/null 9<"$region" || true
    if [ "$locked" -eq 75 ]; then
        echo "scripts/test.sh: your monitor is running ($region is locked), and the tests publish under" \
             "its names in the same /dev/shm. Stop it first (systemctl --user stop vantorix-publisher)," \
             "or run as root: the tests then get a /dev/shm of their own." >&2
        exit 1
    fi
fi

configure=()
if [ "${CI:-}" = "true" ]; then
    # Warnings fail the build in CI.
    export VANTORIX_WERROR=ON
    # Line tables only: the same code (GCC's code does not depend on -g),
    # backtraces and sanitizer reports still name file and line, and the
    # Boost.Beast files compile in two thirds of the time.
    configure=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
               -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)
fi

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

# What these presets need installed (scripts/install-deps.sh's groups).
groups=(linux test)
for preset in "${presets[@]}"; do
    case "$preset" in
        mingw-* | msvc-* | windows-zip | nuget) groups+=(windows) ;;
        deb) groups+=(deb) ;;
    esac
done
bash scripts/install-deps.sh $(printf '%s\n' "${groups[@]}" | sort -u)

# The Windows lane needs a /dev/shm and a loopback of its own, so that
# neither lane sees the other's monitor or takes the port it probed.
if [ "$lanes" = yes ] && ! { [ -n "${VANTORIX_PRIVATE_SHM:-}" ] && command -v ip >/dev/null &&
                             unshare --net true 2>/dev/null; }; then
    lanes=no
fi

# The zip's Wine programs in one Wine session of the mingw-x64 prefix, as
# the suites' are (cmake/wine-server.sh.in).
windows_zip() {
    scripts/package-windows.sh &&
    build/mingw-x64/wine-server.sh run /usr/bin/python3 tests/package/windows_zip_test.py \
        --zip build/windows-zip/getvantorixinfo-*-windows.zip --runner build/mingw-x64/wine-run.sh --scratch build/windows-zip &&
    # The installers' test makes fresh prefixes of its own, each its own session.
    /usr/bin/python3 tests/package/windows_msi_test.py --folder build/windows-zip --scratch build/windows-zip \
        --skipped build/windows-zip/skipped.txt \
        --version "$(sed -n 's/^project(GetVantorixInfo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
}

nuget_package() {
    local package=()
    # In a whole run the linux preset is built first (and again by the other
    # lane meanwhile): the package takes its library as it is.
    if [ -n "${VANTORIX_LINUX_BUILT:-}" ]; then
        package=(--no-linux-build)
    else
        cmake --preset linux "${configure[@]}" >/dev/null && cmake --build --preset linux --target vantorix-standin || return 1
    fi
    scripts/package-dotnet.sh "${package[@]}" &&
    /usr/bin/python3 tests/package/nuget_test.py --nupkg build/nuget/GetVantorixInfo.*.nupkg --source . \
        --linux-bin build/linux/bin --scratch build/nuget
}

# Runs a preset's tests, keeping ctest's output as it is, and says in one
# line what ran and what did not (from ctest's closing lines).
ctest_preset() {
    local preset=$1 log status passed total failed_tests not_run why skipped
    log=$(mktemp)
    rm -f "build/$preset/skipped.txt"  # why tests skipped, a line each, from those that say (deb_systemd)
    set +e
    ctest --preset "$preset" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    set -e
    passed=$(grep -Ec '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log")
    total=$(sed -nE 's/.* tests failed out of ([0-9]+)$/\1/p' "$log" | tail -1)
    failed_tests=$(sed -nE '/^The following tests FAILED:/,/^$/ s/^[[:space:]]+[0-9]+ - ([^ ]+) .*/\1/p' "$log" | xargs)
    # "N not run (Disabled: why): a, b", one group per kind ctest gives; why
    # this build's programs cannot run here is in not-run.txt (cmake/Wine.cmake),
    # why tests skipped in skipped.txt.
    why=$(cat "build/$preset/not-run.txt" 2>/dev/null || true)
    skipped=$(paste -sd ';' "build/$preset/skipped.txt" 2>/dev/null || true)
    not_run=$(sed -nE '/^The following tests did not run:/,/^$/ s/^[[:space:]]+[0-9]+ - ([^ ]+) \((.*)\)$/\2 \1/p' "$log" |
              awk -v why="$why" -v skipped="$skipped" '{ names[$1] = names[$1] (names[$1] == "" ? "" : ", ") $2; count[$1]++ }
                   END { for (kind in names) {
                             label = kind
                             if (kind == "Disabled" && why != "") label = kind ", " why
                             if (kind == "Skipped" && skipped != "") label = kind ", " skipped
                             printf "%s%d not run (%s): %s", (n++ ? "; " : ""), count[kind], label, names[kind] } }')
    rm -f "$log"
    local line="$preset: built; $passed of ${total:-?} tests run passed"
    [ -z "$failed_tests" ] || line+="; FAILED: $failed_tests"
    [ -z "$not_run" ] || line+="; $not_run"
    summary+=("$line")
    return "$status"
}

# Runs one lane (scripts/test.sh on its presets) into build/lane-NAME.log,
# showing only its headings as it goes.
lane() {
    local name=$1
    shift
    "$@" 2>&1 | tee "build/lane-$name.log" | grep --line-buffered '^=== [a-z]' | sed -u "s/^=== /=== [$name] /"
    return "${PIPESTATUS[0]}"
}

failed=()
summary=()
ran=("${presets[@]}")
if [ "$lanes" = yes ]; then
    mkdir -p build
    # The root the .deb's units boot in (deb_systemd), made meanwhile: most
    # of it is waiting for Debian's archive.
    root_maker=
    if [ "$(id -u)" -eq 0 ]; then
        /usr/bin/python3 tests/package/deb_systemd_test.py --build build/deb --make-root >build/systemd-root.log 2>&1 &
        root_maker=$!
    fi
    # First the linux build, whose programs the bridge's tests (Windows lane) run.
    echo "=== linux (built first: the bridge's tests run its programs)"
    cmake --preset linux "${configure[@]}" >/dev/null && cmake --build --preset linux && export VANTORIX_LINUX_BUILT=1 || true
    echo "=== two lanes, side by side: ${native[*]} | ${windows[*]}"
    lane native bash scripts/test.sh "${native[@]}" &
    native_lane=$!
    lane windows unshare --mount --net --propagation private bash -c \
        'ip link set lo up && mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash scripts/test.sh "$@"' \
        bash "${windows[@]}" &
    windows_lane=$!
    declare -A lane_status=([native]=0 [windows]=0)
    wait "$native_lane" || lane_status[native]=$?
    wait "$windows_lane" || lane_status[windows]=$?
    for name in native windows; do
        echo "=== the $name lane's output"
        cat "build/lane-$name.log"
        # Its closing lines, one per preset; a lane that failed without
        # saying which preset failed is named itself.
        lines=$(sed -n '/^=== what ran$/,$p' "build/lane-$name.log" | sed '1d' |
                grep -vE '^(FAILED presets|all presets passed)' || true)
        while IFS= read -r line; do
            [ -n "$line" ] || continue
            summary+=("$line")
            [[ $line != *FAILED* ]] || failed+=("${line%%:*}")
        done <<<"$lines"
        if [ "${lane_status[$name]}" -ne 0 ] && [[ $lines != *FAILED* ]]; then
            summary+=("$name lane: FAILED (exit ${lane_status[$name]}; its output is above)")
            failed+=("$name-lane")
        fi
    done
    presets=(deb)
    # deb_systemd would wait for it anyway; here its output is shown.
    if [ -n "$root_maker" ]; then
        wait "$root_maker" || true
        echo "=== the .deb test's root, made beside the lanes: $(tail -n 1 build/systemd-root.log)"
    fi
fi

for preset in "${presets[@]}"; do
    echo "=== $preset"
    if [ "$preset" = windows-zip ]; then
        rm -f build/windows-zip/skipped.txt
        if windows_zip; then
            skipped=$(paste -sd ';' build/windows-zip/skipped.txt 2>/dev/null || true)
            summary+=("windows-zip: made and its tests passed${skipped:+; not run: $skipped}")
        else
            summary+=("windows-zip: FAILED")
            failed+=("$preset")
        fi
    elif [ "$preset" = nuget ]; then
        if nuget_package; then
            summary+=("nuget: made and its tests passed")
        else
            summary+=("nuget: FAILED")
            failed+=("$preset")
        fi
    elif ! cmake --preset "$preset" "${configure[@]}" >/dev/null; then
        summary+=("$preset: FAILED to configure (nothing built or run)")
        failed+=("$preset")
    elif [ "$preset" = bench ]; then
        # Only built, so that they keep compiling: scripts/bench.sh runs them.
        if cmake --build --preset bench --target vantorix_bench vantorix-read-many vantorix_history_bench; then
            summary+=("bench: built, not run (scripts/bench.sh runs it)")
        else
            summary+=("bench: FAILED to build")
            failed+=(bench)
        fi
    elif ! cmake --build --preset "$preset"; then
        summary+=("$preset: FAILED to build (no test run)")
        failed+=("$preset")
    else
        ctest_preset "$preset" || failed+=("$preset")
    fi
done

echo "=== what ran"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED presets: ${failed[*]}"
    exit 1
fi
# The presets whose line says something did not run, by name.
# (awk, not grep: a grep that finds nothing would end the script under pipefail)
not_run=$(printf '%s\n' "${summary[@]}" | awk -F: '/not run/ { printf "%s%s", (n++ ? " " : ""), $1 }')
if [ -n "$not_run" ]; then
    echo "all presets passed; some tests did not run (above) in: $not_run"
else
    echo "all presets passed: ${ran[*]}"
fi
