#!/usr/bin/env python3
"""The Windows .zip (scripts/package-windows.sh): exactly the files that
docs/windows-zip.txt lists, each binary built for its folder's architecture,
and the 64-bit vantorix-info.exe in it reads a monitor under Wine beside
nothing but the zip's own DLL."""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

OPTIONS = None
MACHINES = {"x86": 0x14C, "x64": 0x8664}  # IMAGE_FILE_MACHINE_I386, _AMD64


def expected_files():
    files = {"LICENSE.txt", "README.txt"}
    for abi, config in (("mingw", "relwithdebinfo"), ("msvc", "release")):
        for arch in MACHINES:
            folder = "%s-%s/" % (abi, arch)
            names = ["bin/GetVantorixInfo.dll", "include/GetVantorixInfo.h", "lib/GetVantorixInfo.def",
                     "share/doc/GetVantorixInfo/LICENSE"]
            names += ["lib/cmake/GetVantorixInfo/GetVantorixInfo" + name + ".cmake"
                      for name in ("Config", "ConfigVersion", "Targets", "Targets-" + config)]
            if abi == "mingw":
                names += ["bin/vantorix-info.exe", "bin/vantorix-bridge.exe", "lib/libGetVantorixInfo.dll.a"]
            else:
                names += ["lib/GetVantorixInfo.lib"]
            files.update(folder + name for name in names)
    return files


def pe_machine(data):
    offset, = struct.unpack_from("<I", data, 0x3C)
    signature, machine = struct.unpack_from("<4sH", data, offset)
    return machine if signature == b"PE\0\0" else None


class WindowsZipTest(unittest.TestCase):
    def setUp(self):
        self.zip = zipfile.ZipFile(OPTIONS.zip)
        self.addCleanup(self.zip.close)
        self.top = os.path.basename(OPTIONS.zip)[:-len(".zip")] + "/"

    def test_holds_exactly_the_listed_files(self):
        files = {name[len(self.top):] for name in self.zip.namelist() if not name.endswith("/")}
        self.assertTrue(all(name.startswith(self.top) for name in self.zip.namelist()))
        self.assertEqual(expected_files(), files)

    def test_binaries_match_their_folders_architecture(self):
        for name in expected_files():
            if name.endswith((".dll", ".exe")):
                arch = name.split("/")[0].split("-")[1]
                self.assertEqual(MACHINES[arch], pe_machine(self.zip.read(self.top + name)), name)

    def test_its_tool_reads_a_monitor_under_wine(self):
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as scratch:
            self.zip.extractall(scratch)
            tool = os.path.join(scratch, self.top, "mingw-x64", "bin", "vantorix-info.exe")
            # Output through files: a wineserver started here would hold pipes open.
            monitor = subprocess.Popen([OPTIONS.runner, OPTIONS.standin, "--synthetic"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = time.time() + 120
                with tempfile.TemporaryFile() as out:
                    while subprocess.run([OPTIONS.runner, tool, "--json"], stdout=out, stderr=subprocess.DEVNULL,
                                         timeout=120).returncode:
                        self.assertLess(time.time(), deadline, "the zip's vantorix-info.exe never read")
                        time.sleep(0.5)
                        out.seek(0)
                        out.truncate()
                    out.seek(0)
                    record = json.loads(out.read())
            finally:
                monitor.kill()
                monitor.wait()
            self.assertEqual("Stand-in CPU (synthetic readings)", record["cpu_name"])
            self.assertEqual(4, record["core_total"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--runner", required=True, help="the mingw-x64 build's wine-run.sh")
    parser.add_argument("--standin", required=True, help="the mingw-x64 build's vantorix-standin.exe")
    parser.add_argument("--scratch", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
