#!/usr/bin/env bash
# The presets named, one after the other, each by its step beside this file
# (preset.sh, windows-zip.sh, nuget.sh): a lane of a whole run, or a run of
# its own. Ends 1 when one of them failed.
# Usage: scripts/test/presets.sh [--results FILE] [--linux-built] PRESET...
#   --linux-built  passed on to nuget.sh
set -euo pipefail
source "$(dirname "$0")/common.sh"
file=
if [ "${1:-}" = --results ]; then file=$2; shift 2; fi
linux_built=
if [ "${1:-}" = --linux-built ]; then linux_built=--linux-built; shift; fi
private_shm scripts/test/presets.sh ${file:+--results "$file"} $linux_built "$@"
open_results "$file"
[ -n "$file" ] || install_for "$@"  # a whole run installs for all first

status=0
for preset in "$@"; do
    echo "=== $preset"
    case "$preset" in
        windows-zip) bash scripts/test/windows-zip.sh --results "$results" || status=1 ;;
        nuget) bash scripts/test/nuget.sh --results "$results" $linux_built || status=1 ;;
        *) bash scripts/test/preset.sh --results "$results" "$preset" || status=1 ;;
    esac
done
close_results "$status"
