#!/usr/bin/env bash
# The Windows .zip from the four Windows builds (scripts/package-windows.sh):
# its files, and its tool under Wine; and the installers (.msi): installed,
# served from a restart, upgraded and removed under Wine.
# Usage: scripts/test/windows-zip.sh [--results FILE]
set -euo pipefail
source "$(dirname "$0")/common.sh"
file=
if [ "${1:-}" = --results ]; then file=$2; shift 2; fi
private_shm scripts/test/windows-zip.sh ${file:+--results "$file"}
open_results "$file"
[ -n "$file" ] || install_for windows-zip

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

status=0
rm -f build/windows-zip/skipped.txt
if windows_zip; then
    skipped=$(paste -sd ';' build/windows-zip/skipped.txt 2>/dev/null || true)
    result windows-zip "$([ -z "$skipped" ] && echo passed || echo not-run)" \
        "windows-zip: made and its tests passed${skipped:+; not run: $skipped}"
else
    result windows-zip failed "windows-zip: FAILED"
    status=1
fi
close_results "$status"
