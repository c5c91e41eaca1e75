#!/usr/bin/env bash
# One CMake preset: configured, built and tested with ctest, ending with a
# line that says what ran and what did not and why. The bench preset is only
# built, so that it keeps compiling: scripts/bench.sh runs it.
# Usage: scripts/test/preset.sh [--results FILE] PRESET [CTEST-ARGUMENT...]
#   e.g. scripts/test/preset.sh linux -R '^doc_links$' for some tests only
set -euo pipefail
source "$(dirname "$0")/common.sh"
file=
if [ "${1:-}" = --results ]; then file=$2; shift 2; fi
preset=$1
shift
private_shm scripts/test/preset.sh ${file:+--results "$file"} "$preset" "$@"
open_results "$file"
[ -n "$file" ] || install_for "$preset"

# Runs the preset's tests, keeping ctest's output as it is, and says in one
# line what ran and what did not (from ctest's closing lines).
ctest_preset() {
    local log status passed total failed_tests not_run why skipped
    log=$(mktemp)
    rm -f "build/$preset/skipped.txt"  # why tests skipped, a line each, from those that say (deb_systemd)
    set +e
    ctest --preset "$preset" "$@" 2>&1 | tee "$log"
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
    local line="$preset: built; $passed of ${total:-?} tests run passed" outcome=passed
    [ -z "$failed_tests" ] || line+="; FAILED: $failed_tests"
    [ -z "$not_run" ] || { line+="; $not_run"; outcome=not-run; }
    [ "$status" -eq 0 ] || outcome=failed
    result "$preset" "$outcome" "$line"
    return "$status"
}

status=0
if ! cmake --preset "$preset" "${configure[@]}" >/dev/null; then
    result "$preset" failed "$preset: FAILED to configure (nothing built or run)"
    status=1
elif [ "$preset" = bench ]; then
    if cmake --build --preset bench --target vantorix_bench vantorix-read-many vantorix_history_bench; then
        result bench not-run "bench: built, not run (scripts/bench.sh runs it)"
    else
        result bench failed "bench: FAILED to build"
        status=1
    fi
elif ! cmake --build --preset "$preset"; then
    result "$preset" failed "$preset: FAILED to build (no test run)"
    status=1
else
    ctest_preset "$@" || status=1
fi
close_results "$status"
