#!/usr/bin/env bash
# The Windows .zip: builds the library for 32-bit and 64-bit Windows, each for
# MinGW-w64 clients (GCC's C++ ABI) and for Visual C++ clients (Microsoft's
# C++ ABI), installs each into a folder of its own and zips them with the
# licence, the Prometheus alert rules, the Grafana dashboard and a README (docs/windows-zip.txt,
# which lists the layout). The MinGW folders also get the stand-in monitor and
# a demo (scripts/demo.cmd), so that the tool can be tried without the
# Vantorix monitor:
#     build/windows-zip/getvantorixinfo-<version>-windows.zip
# Reuses the presets' build trees: after scripts/test.sh only the install
# and the zip are left to do.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(GetVantorixInfo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=getvantorixinfo-$version-windows
out=build/windows-zip
rm -rf "$out"
mkdir -p "$out/$name"

# preset:folder:targets
for build in mingw-i686:mingw-x86:"GetVantorixInfo vantorix-info vantorix-standin vantorix-bridge" \
             mingw-x64:mingw-x64:"GetVantorixInfo vantorix-info vantorix-standin vantorix-bridge" \
             msvc-i686:msvc-x86:GetVantorixInfo \
             msvc-x64:msvc-x64:GetVantorixInfo; do
    IFS=: read -r preset folder targets <<<"$build"
    echo "=== $preset -> $name/$folder"
    cmake --preset "$preset" >/dev/null
    # shellcheck disable=SC2086  # the targets are words
    cmake --build --preset "$preset" --target $targets
    cmake --install "build/$preset" --prefix "$out/$name/$folder" --strip >/dev/null
    if [[ $folder == mingw-* ]]; then
        # Not installed by CMake: development equipment, shipped for trying the tool.
        strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$preset/CMakeCache.txt")
        "$strip" -o "$out/$name/$folder/bin/vantorix-standin.exe" "build/$preset/bin/vantorix-standin.exe"
        sed -e 's/$/\r/' scripts/demo.cmd > "$out/$name/$folder/demo.cmd"
    fi
done
cp LICENSE "$out/$name/LICENSE.txt"
mkdir "$out/$name/prometheus"
cp prometheus/vantorix-alerts.yml "$out/$name/prometheus/"
mkdir "$out/$name/grafana"
cp grafana/vantorix-fleet.json "$out/$name/grafana/"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' docs/windows-zip.txt > "$out/$name/README.txt"
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out/$name.zip"
