# shellcheck shell=bash
# Sourced by scripts/test.sh and the steps beside this file: the tree's root
# as working folder, CI's build flags, a /dev/shm of the tests' own, the
# packages a preset needs, and the results file each step adds its line to.

cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit

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

# private_shm SCRIPT ARGS...: the suites publish under the monitor's real
# names. As root, runs SCRIPT again in a mount namespace of its own with an
# empty /dev/shm (once: VANTORIX_PRIVATE_SHM says it is done), so a monitor
# of yours keeps publishing beside them; otherwise refuses while it runs.
private_shm() {
    [ -z "${VANTORIX_PRIVATE_SHM:-}" ] || return 0
    if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
        export VANTORIX_PRIVATE_SHM=1
        exec unshare --mount --propagation private bash -c \
            'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash "$@"' bash "$@"
    fi
    # A monitor is live while it holds the lock on its region (flock: 75).
    local region=/dev/shm/VantorixMappingObject.$(id -u) locked=0
    { flock -n -s -E 75 9 || locked=$?; } 2>/dev/null 9<"$region" || true
    if [ "$locked" -eq 75 ]; then
        echo "scripts/test.sh: your monitor is running ($region is locked), and the tests publish under" \
             "its names in the same /dev/shm. Stop it first (systemctl --user stop vantorix-publisher)," \
             "or run as root: the tests then get a /dev/shm of their own." >&2
        exit 1
    fi
}

# install_for PRESET...: what these presets need (scripts/install-deps.sh's
# groups), installed where missing.
install_for() {
    local groups=(linux test) preset
    for preset in "$@"; do
        case "$preset" in
            mingw-* | msvc-* | windows-zip | nuget) groups+=(windows) ;;
            deb) groups+=(deb) ;;
        esac
    done
    bash scripts/install-deps.sh $(printf '%s\n' "${groups[@]}" | sort -u)
}

# A step adds one line a preset to the results file given with --results
# (the whole run's); run alone, it keeps its own and ends with its summary.
# open_results FILE-OR-EMPTY sets results; close_results prints the summary
# of a step's own file and ends with its status.
open_results() {
    results=$1
    own_results=
    if [ -z "$results" ]; then
        results=$(mktemp)
        own_results=yes
    fi
}

close_results() {
    local status=$1
    if [ -n "$own_results" ]; then
        echo "=== what ran"
        bash scripts/test/summary.sh "$results" || status=1
        rm -f "$results"
    fi
    return "$status"
}

# result NAME STATUS LINE: STATUS is passed, not-run (passed, but some of
# its tests did not run) or failed; LINE is what the summary shows.
result() {
    printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"
}
