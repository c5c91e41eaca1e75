#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is there.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev googletest libcli11-dev nlohmann-json3-dev python3 python3-prometheus-client pkgconf tmux valgrind passwd libbenchmark-dev strace
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386
          clang lld llvm libclang-rt-14-dev)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The 32-bit Windows tests run under Wine's 32-bit loader, an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
