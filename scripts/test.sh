#!/usr/bin/env bash
# Builds every preset and runs every test that can run on this machine:
#   linux       native build and tests
#   linux-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   linux-tsan  the same under ThreadSanitizer
#   mingw-i686  32-bit Windows build, the reference target: every test under
#               Wine's 32-bit loader (only built and exports checked where the
#               kernel cannot run 32-bit programs; configuring says so)
#   mingw-x64   64-bit Windows build, every test under Wine
#   msvc-i686   32-bit Windows DLL with the Microsoft C++ ABI: its client runs
#               under Wine's 32-bit loader (same fallback), exports checked
#   msvc-x64    64-bit Windows DLL with the Microsoft C++ ABI: its client runs
#               under Wine, exports checked
#   fuzz        vantorix-info's outputs under clang's libFuzzer for a minute,
#               from the committed corpus (tests/fuzz/)
# The Windows timing program (bench/win_timing.cpp) is built with the MinGW
# presets but run only by scripts/bench.sh --wine.
#   deb         the .deb: built, installed on this machine, used and removed (as root)
#   windows-zip the Windows .zip from the four Windows builds: its files, and its tool under Wine
# Usage: scripts/test.sh [--soak] [preset...]   (default: all of them)
#   --soak      also the long Wine soaks (ctest label soak)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --soak ]; then export VANTORIX_SOAK=1; shift; fi
bash scripts/install-deps.sh

# Warnings fail the build in CI.
if [ "${CI:-}" = "true" ]; then
    export VANTORIX_WERROR=ON
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-asan linux-tsan mingw-i686 mingw-x64 msvc-i686 msvc-x64 fuzz deb windows-zip)

windows_zip() {
    scripts/package-windows.sh &&
    /usr/bin/python3 tests/package/windows_zip_test.py --zip build/windows-zip/getvantorixinfo-*-windows.zip \
        --runner build/mingw-x64/wine-run.sh --scratch build/windows-zip
}

# Leftover objects of an interrupted run would confuse the tests.
rm -f "/dev/shm/VantorixMutexObject.$(id -u)" "/dev/shm/VantorixMappingObject.$(id -u)"

failed=()
for preset in "${presets[@]}"; do
    echo "=== $preset"
    if [ "$preset" = windows-zip ]; then
        windows_zip || failed+=("$preset")
    elif cmake --preset "$preset" >/dev/null &&
       cmake --build --preset "$preset" &&
       ctest --preset "$preset"; then
        :
    else
        failed+=("$preset")
    fi
done

# The benchmarks are run by scripts/bench.sh; here they are only built, so
# that they keep compiling.
if [ $# -eq 0 ]; then
    echo "=== bench (build only)"
    cmake --preset bench >/dev/null && cmake --build --preset bench || failed+=(bench)
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED presets: ${failed[*]}"
    exit 1
fi
echo "all presets passed: ${presets[*]}"
