#!/usr/bin/env bash
# The Windows .zip: builds the library for 32-bit and 64-bit Windows, each for
# MinGW-w64 clients (GCC's C++ ABI) and for Visual C++ clients (Microsoft's
# C++ ABI), installs each into a folder of its own and zips them with the
# licence, the Prometheus alert rules, the Grafana dashboard and a README (docs/windows-zip.txt,
# which lists the layout). The MinGW folders also get the stand-in monitor and
# a demo (scripts/demo.cmd), so that the tool can be tried without the
# Vantorix monitor:
#     build/windows-zip/getvantorixinfo-<version>-windows.zip
# Beside it, an installer per architecture (packaging/windows/, with Debian's
# wixl and msibuild) from the MinGW folders and vantorix-infow.exe:
#     build/windows-zip/getvantorixinfo-<version>-x64.msi, -x86.msi
# Reuses the presets' build trees: after scripts/test.sh only the install,
# the zip and the installers are left to do.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(GetVantorixInfo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=getvantorixinfo-$version-windows
out=build/windows-zip
rm -rf "$out"
mkdir -p "$out/$name"

# preset:folder:targets
for build in mingw-i686:mingw-x86:"GetVantorixInfo vantorix-info vantorix-infow vantorix-standin vantorix-bridge" \
             mingw-x64:mingw-x64:"GetVantorixInfo vantorix-info vantorix-infow vantorix-standin vantorix-bridge" \
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
        # The installer's alone: the zip is for developers, who have the console program.
        mkdir -p "$out/msi-${folder#mingw-}"
        "$strip" -o "$out/msi-${folder#mingw-}/vantorix-infow.exe" "build/$preset/bin/vantorix-infow.exe"
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

# The installers. wixl 0.101 has no component condition: the Run entry's is
# set afterwards, and so are the properties that the installing service
# takes from the command line (wixl has no Secure attribute), and two
# actions it does not make: taskkill.exe from the system folder ending the
# servers before their files go (type 50 + deferred 1024 + as the system 2048
# + its status ignored 64), and the refusal of an INSTALLDIR outside Program
# Files (type 19), where users could change what runs at every logon.
for build in mingw-x64:x64:ProgramFiles64Folder mingw-i686:x86:ProgramFilesFolder; do
    IFS=: read -r preset arch programs <<<"$build"
    msi=$out/getvantorixinfo-$version-$arch.msi
    wixl -a "$arch" -I "build/$preset/msi" -D Root="$out/$name" -D Bin="$out/$name/mingw-$arch/bin" \
         -D Launcher="$out/msi-$arch/vantorix-infow.exe" -o "$msi" packaging/windows/getvantorixinfo.wxs
    msibuild "$msi" -q "UPDATE \`Component\` SET \`Condition\` = 'AUTOSTART = \"1\"' WHERE \`Component\` = 'RunEntry'"
    msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;LISTEN_ADDR;LISTEN_PORT;EXTRA_FLAGS;AUTOSTART' WHERE \`Property\` = 'SecureCustomProperties'"
    msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('StopServers', 3186, 'TASKKILL', '/F /IM vantorix-infow.exe')"
    msibuild "$msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('StopServers', 'REMOVE~=\"ALL\"', 1501)"
    msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('RefuseInstallDir', 19, '', 'INSTALLDIR must be a folder under [$programs], which only administrators may change: its programs run at every logon. It was [INSTALLDIR]; nothing was installed.')"
    msibuild "$msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('RefuseInstallDir', 'NOT (REMOVE~=\"ALL\") AND (NOT (INSTALLDIR ~<< $programs) OR INSTALLDIR >< \"\\..\\\")', 1001)"
    echo "$msi"
done
