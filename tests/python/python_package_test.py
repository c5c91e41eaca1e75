#!/usr/bin/env python3
"""The Python package as pip installs it, with the offline command of docs/python.md
in a plain virtual environment of Debian's python3: typed, MIT in its
metadata, and its error telling a missing monitor from one that runs but
cannot be read."""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

OPTIONS = None
SHAREDMEM_COPY_ERROR = 0x20000000

READ = """
import getvantorixinfo
try:
    print("read", getvantorixinfo.read().core_total)
except getvantorixinfo.VantorixError as error:
    print(error.code, error.monitor_running)
"""


class PythonPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="vantorix-pip-", dir=OPTIONS.scratch)
        shutil.copytree(OPTIONS.source, os.path.join(cls.work, "python"))  # pip builds in the tree
        with open(os.path.join(os.path.dirname(OPTIONS.source), "docs", "python.md")) as readme:
            offline = re.search(r"^ +(pip install [^#\n]*--no-index[^#\n]*?) *#", readme.read(), re.M).group(1)
        venv = os.path.join(cls.work, "venv")
        subprocess.run(["/usr/bin/python3", "-m", "venv", venv], check=True)
        print("+", offline, flush=True)
        subprocess.run(["sh", "-c", '. "$0/bin/activate" && ' + offline, venv], cwd=cls.work, check=True)
        cls.python = os.path.join(venv, "bin", "python")
        cls.target, = glob.glob(os.path.join(venv, "lib", "python3*", "site-packages"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def read(self):
        env = dict(os.environ, VANTORIX_LIBRARY_DIR=OPTIONS.library)
        env.pop("PYTHONPATH", None)
        return subprocess.run([self.python, "-c", READ], capture_output=True, text=True,
                              env=env, cwd=self.work, check=True, timeout=60).stdout.split()

    def monitor(self, *args):
        process = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), *args], stdout=subprocess.PIPE)
        self.assertEqual(b"ready\n", process.stdout.readline())
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)

    def test_installed_typed_with_its_licence(self):
        self.assertTrue(os.path.isfile(os.path.join(self.target, "getvantorixinfo", "py.typed")))
        metadata, = glob.glob(os.path.join(self.target, "getvantorixinfo-*.dist-info", "METADATA"))
        with open(metadata) as text:
            self.assertIn("License: MIT\n", text.read())

    def test_error_says_whether_the_monitor_runs(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)
        self.assertEqual(["2", "False"], self.read())  # ENOENT: none runs
        self.monitor("--size", "100")                   # one runs, its region too short to copy
        self.assertEqual([str(SHAREDMEM_COPY_ERROR), "True"], self.read())

    def test_reads_from_the_installed_package(self):
        self.monitor("--generation", "3")
        self.assertEqual(["read", "4"], self.read())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--source", required=True, help="python/, with pyproject.toml")
    parser.add_argument("--library", required=True, help="folder of the built library")
    parser.add_argument("--scratch", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
