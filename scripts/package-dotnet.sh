#!/usr/bin/env bash
# The NuGet package of the .NET binding (dotnet/, docs/dotnet.md):
#     build/nuget/GetVantorixInfo.<version>.nupkg
#   lib/net461/GetVantorixInfo.dll (+ .xml)   the AnyCPU assembly, compiled with Mono's mcs
#   runtimes/win-x86/native/GetVantorixInfo.dll   the mingw-i686 build's library
#   runtimes/win-x64/native/GetVantorixInfo.dll   the mingw-x64 build's
#   runtimes/linux-x64/native/libGetVantorixInfo.so.1   the linux build's
#   build/net461/GetVantorixInfo.targets      the native library in a .NET Framework project's output
#   tools/win-x86/vantorix-standin.exe, tools/win-x64/vantorix-standin.exe,
#   tools/linux-x64/vantorix-standin          the stand-in monitor, to try the package without the monitor
#   LICENSE.txt, README.md (docs/dotnet.md)
# Laid out here per the NuGet package format (a zip with the .nuspec at its
# top, and [Content_Types].xml, _rels/.rels and the core properties that nuget
# pack writes beside it): Debian's nuget (2.8) predates the .nuspec's license
# and readme elements.
# Builds only the library and the stand-in of the mingw-i686, mingw-x64 and
# linux presets; --no-linux-build takes build/linux's library as it is (scripts/test.sh
# builds that preset first, and builds it again in the other lane meanwhile).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(GetVantorixInfo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if ! grep -q "AssemblyInformationalVersion(\"$version\")" dotnet/Vantorix.cs ||
   ! grep -q "AssemblyVersion(\"$version.0\")" dotnet/Vantorix.cs; then
    echo "package-dotnet.sh: dotnet/Vantorix.cs does not give the assembly the project's version $version" >&2
    exit 1
fi
presets=(mingw-i686 mingw-x64 linux)
[ "${1:-}" != --no-linux-build ] || presets=(mingw-i686 mingw-x64)
for preset in "${presets[@]}"; do
    echo "=== $preset: the library and the stand-in"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target GetVantorixInfo vantorix-standin
done

out=build/nuget
stage=$out/GetVantorixInfo.$version
rm -rf "$out"
mkdir -p "$stage"/{lib/net461,build/net461,_rels,package/services/metadata/core-properties}
mcs @dotnet/GetVantorixInfo.rsp -out:"$stage/lib/net461/GetVantorixInfo.dll" -doc:"$stage/lib/net461/GetVantorixInfo.xml"
for build in mingw-i686:win-x86 mingw-x64:win-x64; do
    IFS=: read -r preset rid <<<"$build"
    mkdir -p "$stage/runtimes/$rid/native" "$stage/tools/$rid"
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$preset/CMakeCache.txt")
    "$strip" -o "$stage/runtimes/$rid/native/GetVantorixInfo.dll" "build/$preset/bin/GetVantorixInfo.dll"
    "$strip" -o "$stage/tools/$rid/vantorix-standin.exe" "build/$preset/bin/vantorix-standin.exe"
done
mkdir -p "$stage/runtimes/linux-x64/native" "$stage/tools/linux-x64"
strip -o "$stage/runtimes/linux-x64/native/libGetVantorixInfo.so.1" "$(readlink -f build/linux/lib/libGetVantorixInfo.so.1)"
strip -o "$stage/tools/linux-x64/vantorix-standin" build/linux/bin/vantorix-standin
cp dotnet/GetVantorixInfo.targets "$stage/build/net461/"
cp LICENSE "$stage/LICENSE.txt"
cp docs/dotnet.md "$stage/README.md"

description="Reads the processor readings that the Vantorix monitor publishes in shared memory (per-core \
temperature and load, TjMax, clocks, VID, processor name) through the GetVantorixInfo library: one AnyCPU \
assembly for .NET Framework 4.6.1+, .NET 6+ and PowerShell, with the library for 32-bit and 64-bit Windows and \
for Linux x86-64, and a stand-in monitor to try it with."
cat > "$stage/GetVantorixInfo.nuspec" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>GetVantorixInfo</id>
    <version>$version</version>
    <title>GetVantorixInfo</title>
    <authors>The GetVantorixInfo developers</authors>
    <license type="file">LICENSE.txt</license>
    <readme>README.md</readme>
    <description>$description</description>
    <tags>hardware-monitoring temperature cpu shared-memory vantorix</tags>
    <dependencies>
      <group targetFramework=".NETFramework4.6.1" />
    </dependencies>
  </metadata>
</package>
EOF
cat > "$stage/[Content_Types].xml" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="psmdcp" ContentType="application/vnd.openxmlformats-package.core-properties+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
  <Default Extension="1" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
  <Default Extension="txt" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
  <Default Extension="exe" ContentType="application/octet" />
  <Override PartName="/tools/linux-x64/vantorix-standin" ContentType="application/octet" />
</Types>
EOF
properties=package/services/metadata/core-properties/getvantorixinfo.psmdcp
cat > "$stage/_rels/.rels" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/GetVantorixInfo.nuspec" Id="R1" />
  <Relationship Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="/$properties" Id="R2" />
</Relationships>
EOF
cat > "$stage/$properties" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<coreProperties xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns="http://schemas.openxmlformats.org/package/2006/metadata/core-properties">
  <dc:creator>The GetVantorixInfo developers</dc:creator>
  <dc:description>$description</dc:description>
  <dc:identifier>GetVantorixInfo</dc:identifier>
  <version>$version</version>
  <keywords>hardware-monitoring temperature cpu shared-memory vantorix</keywords>
  <lastModifiedBy>scripts/package-dotnet.sh</lastModifiedBy>
</coreProperties>
EOF
# A zip of files only (no folder entries), the .nuspec first, as nuget pack writes it.
/usr/bin/python3 - "$stage" "$out/GetVantorixInfo.$version.nupkg" <<'EOF'
import os, sys, zipfile
stage, package = sys.argv[1:]
files = sorted(os.path.relpath(os.path.join(folder, name), stage) for folder, _, names in os.walk(stage) for name in names)
files.sort(key=lambda name: not name.endswith(".nuspec"))
with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as nupkg:
    for name in files:
        nupkg.write(os.path.join(stage, name), name)
EOF
rm -rf "$stage"
echo "$out/GetVantorixInfo.$version.nupkg"
