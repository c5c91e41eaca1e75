#!/usr/bin/env bash
# The summary of a run from its results file (scripts/test/common.sh's
# result: name, status and line, tab-separated): each preset's line, then
# whether every preset passed, naming those in which some tests did not run.
# Ends 1 when a preset failed or nothing ran.
# Usage: scripts/test/summary.sh RESULTS
set -euo pipefail
results=$1
if [ ! -s "$results" ]; then
    echo "nothing ran: the run FAILED before its first preset (its output is above)"
    exit 1
fi
cut -f3 "$results"
names() { awk -F'\t' -v status="$1" '$2 == status || status == "" { printf "%s%s", (n++ ? " " : ""), $1 }' "$results"; }
failed=$(names failed)
if [ -n "$failed" ]; then
    echo "FAILED presets: $failed"
    exit 1
fi
not_run=$(names not-run)
if [ -n "$not_run" ]; then
    echo "all presets passed; some tests did not run (above) in: $not_run"
else
    echo "all presets passed: $(names '')"
fi
