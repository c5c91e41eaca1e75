#!/usr/bin/env python3
"""The NuGet package (scripts/package-dotnet.sh): exactly its files, each
native library and stand-in built for its folder's machine and the assembly
AnyCPU, the .nuspec's metadata and the parts of the package format, the
targets' files within the package; unpacked, a C# program that loads the
package's lib/net461/GetVantorixInfo.dll reads the stand-in monitor's record
through the package's own Linux library, which the assembly finds by itself,
in the package as Debian's NuGet client installs it; and docs/dotnet.md
followed as printed: its C# examples compile with mcs, the package installed
from a folder source and its .csproj lines built with xbuild give programs
that read the package's own stand-in through the package's own library."""
import argparse
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

OPTIONS = None
FILES = {
    "GetVantorixInfo.nuspec", "[Content_Types].xml", "_rels/.rels",
    "package/services/metadata/core-properties/getvantorixinfo.psmdcp", "LICENSE.txt", "README.md",
    "lib/net461/GetVantorixInfo.dll", "lib/net461/GetVantorixInfo.xml", "build/net461/GetVantorixInfo.targets",
    "runtimes/win-x86/native/GetVantorixInfo.dll", "runtimes/win-x64/native/GetVantorixInfo.dll",
    "runtimes/linux-x64/native/libGetVantorixInfo.so.1",
    "tools/win-x86/vantorix-standin.exe", "tools/win-x64/vantorix-standin.exe", "tools/linux-x64/vantorix-standin",
}
MACHINES = {"win-x86": 0x14C, "win-x64": 0x8664}  # IMAGE_FILE_MACHINE_I386, _AMD64
NUSPEC = "{http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd}"


def pe(data):
    """A PE file's machine and, for a .NET assembly, its CLI header's flags (else None)."""
    offset, = struct.unpack_from("<I", data, 0x3C)
    signature, machine, sections, _, _, _, optional_size = struct.unpack_from("<4sHHIIIH", data, offset)
    assert signature == b"PE\0\0"
    optional = offset + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    cli_rva, cli_size = struct.unpack_from("<II", data, directories + 14 * 8)  # the CLR runtime header
    if not cli_size:
        return machine, None
    for section in range(sections):
        _, size, rva, _, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + section * 40)
        if rva <= cli_rva < rva + size:
            return machine, struct.unpack_from("<I", data, raw + cli_rva - rva + 16)[0]
    raise AssertionError("no section holds the CLI header")


class NugetPackageTest(unittest.TestCase):
    def setUp(self):
        self.package = zipfile.ZipFile(OPTIONS.nupkg)
        self.addCleanup(self.package.close)

    def xml(self, name):
        return ElementTree.fromstring(self.package.read(name))

    def test_holds_exactly_its_files_the_nuspec_first(self):
        names = self.package.namelist()
        self.assertEqual(FILES, set(names))  # and no folder entries
        self.assertEqual("GetVantorixInfo.nuspec", names[0])

    def test_each_binary_is_built_for_its_folder(self):
        for rid, machine in MACHINES.items():
            for name in ("runtimes/%s/native/GetVantorixInfo.dll", "tools/%s/vantorix-standin.exe"):
                self.assertEqual((machine, None), pe(self.package.read(name % rid)), name % rid)
        for name in ("runtimes/linux-x64/native/libGetVantorixInfo.so.1", "tools/linux-x64/vantorix-standin"):
            elf = self.package.read(name)
            self.assertEqual((b"\x7fELF", 2, 62), (elf[:4], elf[4], struct.unpack_from("<H", elf, 18)[0]))  # x86-64
        # AnyCPU: IL only (flag 1), not 32-bit required (flag 2), in a PE32 image.
        machine, flags = pe(self.package.read("lib/net461/GetVantorixInfo.dll"))
        self.assertEqual((0x14C, 1), (machine, flags & 3))

    def test_nuspec_and_package_parts(self):
        metadata = self.xml("GetVantorixInfo.nuspec").find(NUSPEC + "metadata")
        value = lambda name: metadata.find(NUSPEC + name).text
        self.assertEqual(("GetVantorixInfo", OPTIONS.version), (value("id"), value("version")))
        license = metadata.find(NUSPEC + "license")
        self.assertEqual(("file", "LICENSE.txt", "README.md"), (license.get("type"), license.text, value("readme")))
        self.assertEqual([".NETFramework4.6.1"],
                         [group.get("targetFramework") for group in metadata.iter(NUSPEC + "group")])
        # Every file has a content type, by its extension or its own, and the relationships point into the package.
        types = {entry.get("Extension") or entry.get("PartName").lstrip("/") for entry in self.xml("[Content_Types].xml")}
        self.assertEqual(set(), {name for name in FILES if name not in types and name.rsplit(".", 1)[-1] not in types})
        targets = {entry.get("Target").lstrip("/") for entry in self.xml("_rels/.rels")}
        self.assertEqual(set(), targets - FILES)

    def test_targets_put_each_platforms_library_in_the_output(self):
        # Elsewhere than Windows, xbuild evaluates them below; here the Windows branch.
        msbuild = "{http://schemas.microsoft.com/developer/msbuild/2003}"
        copied = {}
        for group in self.xml("build/net461/GetVantorixInfo.targets").iter(msbuild + "ItemGroup"):
            platform = "windows" if "'$(OS)' == 'Windows_NT'" in group.get("Condition") else "elsewhere"
            for item in group.iter(msbuild + "None"):
                path = os.path.normpath(os.path.join("build/net461", item.get("Include").replace(
                    "$(MSBuildThisFileDirectory)", "").replace("\\", "/")))
                copied[platform, item.find(msbuild + "Link").text] = path
        self.assertEqual({("windows", "x86\\GetVantorixInfo.dll"): "runtimes/win-x86/native/GetVantorixInfo.dll",
                          ("windows", "x64\\GetVantorixInfo.dll"): "runtimes/win-x64/native/GetVantorixInfo.dll",
                          ("elsewhere", "libGetVantorixInfo.so.1"): "runtimes/linux-x64/native/libGetVantorixInfo.so.1"},
                         copied)

    def test_the_unpacked_package_reads_through_its_own_library(self):
        with tempfile.TemporaryDirectory(dir=os.path.abspath(OPTIONS.scratch)) as scratch:
            # Unpacked by Debian's NuGet client (2.8), as nuget.exe install does on Windows.
            home = os.path.join(scratch, "home")
            subprocess.run(["nuget", "install", "GetVantorixInfo", "-Version", OPTIONS.version, "-Source",
                            os.path.dirname(os.path.abspath(OPTIONS.nupkg)), "-OutputDirectory", scratch,
                            "-NonInteractive", "-NoCache"], env=dict(os.environ, HOME=home, XDG_CONFIG_HOME=home),
                           check=True, stdout=subprocess.DEVNULL, timeout=300)
            unpacked = os.path.join(scratch, "GetVantorixInfo." + OPTIONS.version)
            assembly = os.path.join(unpacked, "lib", "net461")
            probe = os.path.join(scratch, "probe.exe")
            subprocess.run(["mcs", "-nologo", "-sdk:4.6.1-api", "-r:System.Core.dll",
                            "-r:" + os.path.join(assembly, "GetVantorixInfo.dll"), "-out:" + probe,
                            os.path.join(OPTIONS.source, "tests", "dotnet", "Probe.cs")], check=True)
            # The assembly stays in the package (MONO_PATH), and nothing names the library's folder.
            env = {name: value for name, value in os.environ.items() if name != "VANTORIX_LIBRARY_DIR"}
            env.update(MONO_PATH=assembly, LD_LIBRARY_PATH="")
            standin = os.path.join(OPTIONS.linux_bin, "vantorix-standin")
            subprocess.run([standin, "--remove"], check=True)
            monitor = subprocess.Popen([standin, "--generation", "77"], stdout=subprocess.PIPE)
            try:
                self.assertEqual(b"ready\n", monitor.stdout.readline())
                run = lambda *args: subprocess.run(["mono", probe, *args], env=env, capture_output=True, text=True,
                                                   timeout=120, check=True).stdout
                # A read through the package's own library (its values: dotnet_binding_test.py).
                self.assertEqual({os.path.join(unpacked, "runtimes", "linux-x64", "native", "libGetVantorixInfo.so.1")},
                                 set(run("library").split()))
            finally:
                monitor.terminate()
                monitor.wait()
                monitor.stdout.close()


    def test_the_page_followed_as_printed(self):
        with open(os.path.join(OPTIONS.source, "docs", "dotnet.md")) as page:
            page = page.read()
        block = lambda language: re.findall(r"^```%s\n(.*?)^```" % language, page, re.S | re.M)
        install = next(text for text in block("sh") if "nuget install" in text)
        standin = next(text for text in block("sh") if "vantorix-standin" in text)
        project = next(text for text in block("xml") if "GetVantorixInfo.targets" in text)
        with tempfile.TemporaryDirectory(dir=os.path.abspath(OPTIONS.scratch)) as scratch:
            env = {name: value for name, value in os.environ.items() if name != "VANTORIX_LIBRARY_DIR"}
            env.update(HOME=os.path.join(scratch, "home"), XDG_CONFIG_HOME=os.path.join(scratch, "home"),
                       LD_LIBRARY_PATH="")
            def shell(commands):
                result = subprocess.run(["bash", "-ec", commands], cwd=scratch, env=env, capture_output=True, text=True,
                                        timeout=300)
                self.assertEqual(0, result.returncode, commands + result.stdout + result.stderr)
                return result
            shutil.copy(OPTIONS.nupkg, scratch)
            examples = block("csharp")
            with open(os.path.join(scratch, "Program.cs"), "w") as program:
                program.write(examples[0])
            # The install block but its last line, which needs a monitor.
            *commands, run = install.strip().splitlines()
            self.assertEqual("mono Program.exe", run)
            shell("\n".join(commands))
            compile = next(line for line in commands if line.startswith("mcs "))
            for number, example in enumerate(examples[1:]):
                with open(os.path.join(scratch, "Example%d.cs" % number), "w") as source:
                    source.write(example)
                shell(compile.replace("Program.cs", "Example%d.cs" % number))
            # The .csproj lines, under xbuild, in a project of the least a .NET Framework one has.
            with open(os.path.join(scratch, "Demo.csproj"), "w") as csproj:
                csproj.write(CSPROJ.replace("<!-- page -->", project))
            shell("xbuild /nologo /verbosity:quiet Demo.csproj")
            # The package's stand-in as the page starts it.
            *commands, start = standin.strip().splitlines()
            shell("\n".join(commands))
            subprocess.run([os.path.join(OPTIONS.linux_bin, "vantorix-standin"), "--remove"], check=True)
            monitor = subprocess.Popen(shlex.split(start), cwd=scratch, stdout=subprocess.PIPE)
            try:
                self.assertEqual(b"ready\n", monitor.stdout.readline())
                for program, folder in (("Program.exe", scratch), ("out/Demo.exe", os.path.join(scratch, "out"))):
                    with self.subTest(program):
                        result = subprocess.run(["mono", program], cwd=scratch, env=dict(env, LD_DEBUG="files"),
                                                capture_output=True, text=True, timeout=120)
                        output = result.stdout + result.stderr
                        self.assertEqual(0, result.returncode, output)
                        self.assertRegex(result.stdout, r"^Stand-in CPU \(synthetic readings\): 4 cores, C\n"
                                                        r"(core \d: [0-9.]+, load \d+%\n){4}$")
                        # The package's own library, from beside the assembly: no other.
                        self.assertEqual({os.path.join(folder, "libGetVantorixInfo.so.1")},
                                         set(re.findall(r"calling init: (\S*libGetVantorixInfo\S*)", output)), output)
            finally:
                monitor.terminate()
                monitor.wait()
                monitor.stdout.close()


CSPROJ = r"""<?xml version="1.0" encoding="utf-8"?>
<Project ToolsVersion="4.0" DefaultTargets="Build" xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <AssemblyName>Demo</AssemblyName>
    <TargetFrameworkVersion>v4.6.1</TargetFrameworkVersion>
    <OutputPath>out</OutputPath>
  </PropertyGroup>
  <ItemGroup>
    <Reference Include="System" />
    <Compile Include="Program.cs" />
  </ItemGroup>
  <Import Project="$(MSBuildToolsPath)\Microsoft.CSharp.targets" />
<!-- page -->
</Project>
"""

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--nupkg", required=True)
    parser.add_argument("--source", required=True, help="the source tree's top")
    parser.add_argument("--linux-bin", required=True, help="the linux build's programs (the stand-in)")
    parser.add_argument("--scratch", required=True)
    OPTIONS, rest = parser.parse_known_args()
    with open(os.path.join(OPTIONS.source, "CMakeLists.txt")) as cmake:
        OPTIONS.version = re.search(r"project\(GetVantorixInfo VERSION ([0-9.]+)", cmake.read()).group(1)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
