#!/usr/bin/env bash
# The .NET binding's NuGet package, with the MinGW and linux builds'
# libraries: its files, and a read through it with Mono (the binding's own
# tests are linux's).
# Usage: scripts/test/nuget.sh [--results FILE] [--linux-built]
#   --linux-built  take the linux build as it is: in a whole run it is built
#                  first, and the other lane builds it again meanwhile
set -euo pipefail
source "$(dirname "$0")/common.sh"
file=
if [ "${1:-}" = --results ]; then file=$2; shift 2; fi
package=()
if [ "${1:-}" = --linux-built ]; then package=(--no-linux-build); shift; fi
private_shm scripts/test/nuget.sh ${file:+--results "$file"} ${package:+--linux-built}
open_results "$file"
[ -n "$file" ] || install_for nuget

nuget_package() {
    if [ ${#package[@]} -eq 0 ]; then
        cmake --preset linux "${configure[@]}" >/dev/null && cmake --build --preset linux --target vantorix-standin || return 1
    fi
    scripts/package-dotnet.sh "${package[@]}" &&
    /usr/bin/python3 tests/package/nuget_test.py --nupkg build/nuget/GetVantorixInfo.*.nupkg --source . \
        --linux-bin build/linux/bin --scratch build/nuget
}

status=0
if nuget_package; then
    result nuget passed "nuget: made and its tests passed"
else
    result nuget failed "nuget: FAILED"
    status=1
fi
close_results "$status"
