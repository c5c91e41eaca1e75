#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is there.
#   scripts/install-deps.sh [group...]    (default: linux windows deb test)
#   linux     the Linux build: the library, the tools, their man pages
#   windows   the Windows builds: MinGW-w64, clang and lld, Wine to run them, wixl and msitools for the installers
#   deb       making the .deb (cpack --preset deb), with the Windows bridge it carries,
#             and booting a Debian root with systemd-nspawn to run its units
#   test      the tests and the benchmarks
#   ci        CI's fresh-root demo (scripts/fresh-root-demo.sh): mmdebstrap
set -euo pipefail

linux=(cmake ninja-build g++ pkgconf libcli11-dev nlohmann-json3-dev help2man libboost-dev libssl-dev libcrypt-dev libyaml-cpp-dev)
# Wine's preloaders reserve the addresses Wine maps at fixed places before
# anything else is mapped: without them a 64-bit process now and then finds
# its shared user data page taken and ends before it starts (docs/reliability.md).
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386 wine64-preloader wine32-preloader:i386
         clang lld llvm wixl msitools)
# MinGW: the bridge the .deb carries; mmdebstrap, systemd-nspawn: its units booted in a container
deb=(dpkg-dev file g++-mingw-w64-i686 g++-mingw-w64-x86-64 mmdebstrap systemd-container)
test=(libgtest-dev googletest clang libclang-rt-14-dev python3 python3-prometheus-client tmux valgrind passwd libbenchmark-dev strace
      systemd man-db python3-setuptools python3-wheel python3-pip python3-venv python3-wheel-whl
      prometheus prometheus-node-exporter chromium chromium-driver python3-selenium openssl iproute2 python3-markdown-it
      mosquitto mosquitto-clients python3-paho-mqtt  # MQTT: a real broker for --mqtt's test
      mono-complete nuget)  # Mono: the .NET binding's tests (mcs, mono) and its package's (nuget; xbuild comes with mono-complete)
ci=(mmdebstrap)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(linux windows deb test)
packages=()
for group in "${groups[@]}"; do
    case "$group" in
        linux) packages+=("${linux[@]}") ;;
        windows) packages+=("${windows[@]}") ;;
        deb) packages+=("${deb[@]}") ;;
        test) packages+=("${test[@]}") ;;
        ci) packages+=("${ci[@]}") ;;
        *) echo "install-deps.sh: unknown group '$group' (linux, windows, deb, test, ci)" >&2; exit 2 ;;
    esac
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The 32-bit Windows tests run under Wine's 32-bit loader, an i386 package.
if [[ " ${packages[*]} " == *" wine32:i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
install() {
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$@" >/dev/null
}
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    # An index the mirror serves half-synced fails the update but leaves the
    # others usable: what cannot be installed then fails below, by name.
    $SUDO apt-get update -qq || echo "install-deps.sh: apt-get update failed for some indexes (above); going on with the rest" >&2
    if ! install "${missing[@]}"; then
        # Wine's 32-bit loader needs i386 libraries of the very versions the
        # amd64 ones have; without them only the 32-bit Windows tests cannot
        # run, and their preset lists them as not run, naming the missing loader.
        rest=() i386=()
        for package in "${missing[@]}"; do
            if [[ "$package" == *:i386 ]]; then i386+=("$package"); else rest+=("$package"); fi
        done
        [ ${#i386[@]} -gt 0 ] || exit 1
        echo "install-deps.sh: ${i386[*]} could not be installed; going on without Wine's 32-bit loader" >&2
        install "${rest[@]}"
    fi
fi
