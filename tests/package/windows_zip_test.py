#!/usr/bin/env python3
"""The Windows .zip (scripts/package-windows.sh): exactly the files that
docs/windows-zip.txt lists, each binary built for its folder's architecture,
and under Wine the 64-bit demo runs the zip's own stand-in and vantorix-info.exe
beside nothing but the zip's own DLL, and stops the stand-in again; the zip's
vantorix-info.exe serves the readings over HTTP."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zipfile

OPTIONS = None
MACHINES = {"x86": 0x14C, "x64": 0x8664}  # IMAGE_FILE_MACHINE_I386, _AMD64


def expected_files():
    files = {"LICENSE.txt", "README.txt", "prometheus/vantorix-alerts.yml", "grafana/vantorix-fleet.json"}
    for abi, config in (("mingw", "relwithdebinfo"), ("msvc", "release")):
        for arch in MACHINES:
            folder = "%s-%s/" % (abi, arch)
            names = ["bin/GetVantorixInfo.dll", "include/GetVantorixInfo.h", "lib/GetVantorixInfo.def",
                     "share/doc/GetVantorixInfo/LICENSE"]
            names += ["lib/cmake/GetVantorixInfo/GetVantorixInfo" + name + ".cmake"
                      for name in ("Config", "ConfigVersion", "Targets", "Targets-" + config)]
            if abi == "mingw":
                names += ["bin/vantorix-info.exe", "bin/vantorix-standin.exe", "bin/vantorix-bridge.exe", "demo.cmd",
                          "lib/libGetVantorixInfo.dll.a"]
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

    def test_its_demo_runs_under_wine(self):
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as scratch:
            self.zip.extractall(scratch)
            folder = os.path.join(scratch, self.top, "mingw-x64")
            # Output through files: a wineserver started here would hold pipes open.
            with tempfile.TemporaryFile() as out:
                demo = subprocess.run([OPTIONS.runner, "cmd", "/c", "Z:" + os.path.join(folder, "demo.cmd"),
                                       "--count", "3"], stdout=out, stderr=subprocess.STDOUT, timeout=120)
                out.seek(0)
                output = out.read().decode(errors="replace")
            self.assertEqual(0, demo.returncode, output)
            self.assertIn("Stand-in CPU (synthetic readings)", output)
            tool = subprocess.run([OPTIONS.runner, os.path.join(folder, "bin", "vantorix-info.exe")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            self.assertEqual(1, tool.returncode, "the demo left its stand-in running")

    def test_its_tool_serves_under_wine(self):
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as scratch:
            self.zip.extractall(scratch)
            bin_folder = os.path.join(scratch, self.top, "mingw-x64", "bin")
            tool = os.path.join(bin_folder, "vantorix-info.exe")
            monitor = subprocess.Popen([OPTIONS.runner, os.path.join(bin_folder, "vantorix-standin.exe"), "--synthetic"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                metrics = self.served_metrics(tool)
            finally:
                monitor.kill()
                monitor.wait()
            self.assertIn("vantorix_up 1\n", metrics)

    def served_metrics(self, tool):
        """The page at /metrics of `tool --serve 0`."""
        with tempfile.TemporaryFile() as out:
            server = subprocess.Popen([OPTIONS.runner, tool, "--serve", "0"], stdout=out, stderr=out)
            try:
                deadline, found = time.time() + 60, None
                while not found and server.poll() is None and time.time() < deadline:
                    time.sleep(0.2)
                    out.seek(0)
                    found = re.search(rb"serving (http://\S+/)", out.read())
                self.assertTrue(found, "the zip's vantorix-info.exe did not serve")
                # The stand-in may still be starting: the page says so until it publishes.
                while True:
                    with urllib.request.urlopen(found.group(1).decode() + "metrics", timeout=30) as response:
                        metrics = response.read().decode()
                    if "vantorix_up 1\n" in metrics or time.time() > deadline:
                        return metrics
                    time.sleep(0.2)
            finally:
                server.kill()
                server.wait()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--runner", required=True, help="the mingw-x64 build's wine-run.sh")
    parser.add_argument("--scratch", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
