#!/usr/bin/env bash
# The README's first command on a fresh Debian 12 machine: a minimal root
# (mmdebstrap's minbase with a compiler, CMake, git, Python and GoogleTest),
# a clone of this checkout's HEAD in it, and scripts/demo.sh run there with
# its own /proc and an empty /dev/shm. The demo must install what it needs
# and show readings; a missing install step fails here.
# The root is made once and kept as a tarball in build/fresh-root/; each run
# unpacks it afresh, so nothing a previous demo installed is left in it.
# Root only (mmdebstrap, mounts, chroot).
# Usage: scripts/fresh-root-demo.sh [--test]
#   --test  runs `scripts/test.sh linux` there instead of the demo: the
#           README's second command, for the native build (not in CI: it
#           installs the test tools, Chromium among them)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-root-demo.sh: needs root (mmdebstrap, mounts, chroot)" >&2
    exit 1
fi
command=scripts/demo.sh
[ "${1:-}" != --test ] || command="scripts/test.sh linux"
bash scripts/install-deps.sh ci
started=$SECONDS

# Debian's archive as this machine's apt names it: the origin-Debian sources
# of this architecture, one line each.
arch=$(dpkg --print-architecture)
sources=$(apt-cache policy | awk -v arch="$arch" '
    $1 ~ /^[0-9]+$/ && $2 ~ /:\/\// && $4 == arch { uri = $2; split($3, where, "/"); next }
    uri != "" && /release / && /o=Debian,/ { print "deb " uri " " where[1] " " where[2] }
    { uri = "" }' | sort -u)
if [ -z "$sources" ]; then
    echo "fresh-root-demo.sh: apt knows no source of Debian's archive here (apt-cache policy)" >&2
    exit 1
fi
packages=g++,cmake,git,python3,libgtest-dev,googletest
cache=build/fresh-root
key=$(printf '%s\n' "$packages" "$sources" | sha256sum | cut -c1-12)
tarball=$cache/bookworm-minbase-$key.tar
mkdir -p "$cache"
made="reused $tarball"
if [ ! -s "$tarball" ]; then
    echo "fresh root: making $tarball with mmdebstrap"
    rm -f "$cache"/bookworm-minbase-*.tar
    printf '%s\n' "$sources" | mmdebstrap --quiet --format=tar --variant=minbase --include="$packages" \
        bookworm "$tarball.part" - && mv "$tarball.part" "$tarball"
    made="root made in $((SECONDS - started)) s"
    echo "fresh root: $made"
fi

rm -rf --one-file-system "$cache"/root.*  # an interrupted run's
root=$(mktemp -d "$PWD/$cache/root.XXXXXX")
# The mounts live in the namespace below and go with it: nothing to unmount.
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xf "$tarball"
git clone --quiet "$PWD" "$root/src"
cp --remove-destination -L /etc/resolv.conf "$root/etc/resolv.conf"  # apt-get's names

demo_started=$SECONDS
log=$cache/demo.log
# A mount and PID namespace of its own: the root a mount point (namespaces
# made inside it, as the tests make, need one), its /proc, this machine's /sys (the
# publisher's readings), mmdebstrap's /dev with terminals of its own (apt
# logs through one) and a fresh tmpfs on /dev/shm, and every process it
# started ended with it.
set +e
unshare --mount --pid --fork --kill-child bash -c '
    set -e
    mount --bind "$1" "$1"  # a mount point, as on a machine
    mount -t proc proc "$1/proc"
    mount --rbind /sys "$1/sys"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$1/dev/pts"
    mount --bind "$1/dev/pts/ptmx" "$1/dev/ptmx"
    mount -t tmpfs -o mode=1777 tmpfs "$1/dev/shm"
    exec chroot "$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /src && $2"' bash "$root" "$command" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
took="$made, $command $((SECONDS - demo_started)) s, $((SECONDS - started)) s in all"
if [ "$status" -ne 0 ]; then
    echo "fresh root: $command exited with $status ($took)" >&2
    exit 1
fi
if [ "$command" != scripts/demo.sh ]; then
    echo "fresh root: $command passed ($took)"
    exit 0
fi

# Readings: the table's core rows and a JSON record with cores in it.
if ! grep -Eq '^ +0 +' "$log" || ! grep -Eq '"core_total": ?[1-9]' "$log"; then
    echo "fresh root: the demo showed no readings (see $log)" >&2
    exit 1
fi
echo "fresh root: the demo installed what it needs and showed readings ($took)"
