#!/usr/bin/env python3
"""Tests of the .NET binding (dotnet/) with Mono: the assembly and a C#
program that uses it (tests/dotnet/Probe.cs) compiled with mcs, run with mono
against the Linux library and the stand-in monitor as a real process. Known
records read as vantorix-info --json and the Python binding read them, and
each shared record fixture as expected; the errors with no monitor and with no
library; a held mutex ends a read at its timeout, with one copy however many
reads gave up, and a cancelled token ends a waiting read at once, for Read and
ReadAsync alike; a first read's timeout does not count the library's loading;
the exceptions' constructors and serialization; the layout is the C header's."""
import argparse
import errno
import json
import os
import shutil
import subprocess
import sys
import unittest

import records
import standin
from waiting import wait_until

OPTIONS = None
FIELDS = ("cpu_name", "cpu_total", "core_total", "core_load", "temp", "tj_max", "vid_value", "cpu_clock", "fsb_clock",
          "clock_multiplier", "fahrenheit", "distance_to_tj_max", "monitor_alive")
START = "the Vantorix monitor is not running: start vantorix-publisher (systemctl --user start vantorix-publisher)"
INSTALL = "install the getvantorixinfo .deb, or name the library's folder in VANTORIX_LIBRARY_DIR"


# name: the stand-in's arguments or a record file it publishes, and some of what all three read.
RECORDS = {
    "Fahrenheit, the stand-in's pattern": (
        ["--generation", "77"], {"cpu_name": "Stand-in CPU, generation 77", "core_total": 78, "fahrenheit": True}),
    "distance to TjMax, where 0 is a core at TjMax": (
        records.path("distance"),
        {"temp": [0.0, 12.5, 67.7], "distance_to_tj_max": True, "vid_value": 1.2125}),
    "missing readings": (
        records.path("missing"),
        {"temp": [None, 67.7, None], "tj_max": [100, None, 95], "core_load": [5, 0, 9], "vid_value": None,
         "cpu_clock": 3200.1, "fsb_clock": None, "clock_multiplier": None}),
    "a 100-byte 8-bit name, more cores than the record holds": (
        records.path("long-name"),
        {"cpu_name": "Caf\u00e9 CPU\u00ae \u0080".ljust(100, "x"), "core_total": 300, "temp": [41.5] * 256,
         "tj_max": [90] * 128, "fsb_clock": 99.8}),
}


def probe(*args, env=None):
    """Runs the C# program; its output as JSON lines (or plain lines)."""
    result = subprocess.run([OPTIONS.mono, os.path.join(OPTIONS.scratch, "probe.exe"), *args], capture_output=True,
                            text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout


def waiting_for_the_lock(pid):
    """How many of `pid`'s threads wait for an flock ("N: -> FLOCK ... PID ...")."""
    with open("/proc/locks") as locks:
        return sum(fields[1:3] == ["->", "FLOCK"] and fields[5] == str(pid)
                   for fields in (line.split() for line in locks))


class DotnetBindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("mcs", "mono"):
            if getattr(OPTIONS, tool) is None:
                raise AssertionError("%s is not installed: install Debian's mono-complete "
                                     "(scripts/install-deps.sh test installs every test tool)" % tool)
        os.makedirs(OPTIONS.scratch, exist_ok=True)
        # The assembly as scripts/package-dotnet.sh compiles it, and the program beside it.
        for command in ([OPTIONS.mcs, "@dotnet/GetVantorixInfo.rsp", "-out:" + os.path.join(OPTIONS.scratch, "GetVantorixInfo.dll")],
                        [OPTIONS.mcs, "-nologo", "-warnaserror+", "-sdk:4.6.1-api", "-r:System.Core.dll",
                         "-r:" + os.path.join(OPTIONS.scratch, "GetVantorixInfo.dll"),
                         "-out:" + os.path.join(OPTIONS.scratch, "probe.exe"), "tests/dotnet/Probe.cs"]):
            subprocess.run(command, cwd=OPTIONS.source, check=True)

    def setUp(self):
        self.remove()

    def remove(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)

    def standin(self, *args):
        self.addCleanup(self.remove)  # after the stand-in has gone
        return standin.start(self, OPTIONS.bin, *args)

    def readings(self):
        """The record as the C# program, vantorix-info --json and the Python binding read it."""
        tool = json.loads(subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), "--json"], capture_output=True,
                                         text=True, timeout=60).stdout)
        snapshot = getvantorixinfo.read()
        return (json.loads(probe("read")), {field: tool[field] for field in FIELDS},
                {field: getattr(snapshot, field) for field in FIELDS})

    def test_reads_each_record_as_vantorix_info_and_python_do(self):
        for name, (published, expected) in RECORDS.items():
            with self.subTest(name):
                monitor = self.standin(*(published if isinstance(published, list) else ["--record", published]))
                for alive in (True, False):
                    dotnet, tool, python = self.readings()
                    self.assertEqual((tool, python), (dotnet, dotnet))
                    self.assertEqual(dict(expected, monitor_alive=alive),
                                     {field: dotnet[field] for field in list(expected) + ["monitor_alive"]})
                    monitor.kill()  # its region stays, its lifetime lock goes
                    monitor.wait()
                self.remove()

    def test_reads_each_record_fixture_as_expected(self):
        for name, path, expected in records.fixtures():
            self.doCleanups()  # the previous fixture's monitor
            with self.subTest(name):
                self.standin("--record", path)
                self.assertEqual(expected["binding"], json.loads(probe("read")))

    def test_a_failed_read_throws_with_the_code_and_what_to_do(self):
        missing_library = dict(os.environ, VANTORIX_LIBRARY_DIR="/nonexistent", LD_LIBRARY_PATH="")
        for name, env, expected in (
                ("no monitor", None, ("VantorixException", errno.ENOENT, False, START, os.strerror(errno.ENOENT) + "; " + START)),
                ("no library", missing_library, ("VantorixException", errno.ENOENT, None, INSTALL, None))):
            with self.subTest(name):
                if env is not None and os.path.exists("/usr/lib/x86_64-linux-gnu/libGetVantorixInfo.so.1"):
                    self.skipTest("the .deb's library is installed system-wide")
                got = json.loads(probe("read", env=env))
                self.assertEqual(expected[:4], (got["exception"], got["code"], got["monitor_running"], got["hint"]))
                self.assertTrue(got["message"].endswith("; " + expected[3]), got["message"])
                if expected[4]:
                    self.assertEqual(expected[4], got["message"])

    def test_a_first_read_with_a_short_timeout_counts_the_call_alone(self):
        # Loading the library in a fresh process takes longer than 20 ms here:
        # a clock started before it would blame the monitor.
        self.standin()
        expected = json.loads(probe("read"))
        for mode in ("read", "read-async"):
            with self.subTest(mode):
                self.assertEqual(expected, json.loads(probe(mode, "0.02")))

    def test_a_held_mutex_ends_reads_at_their_timeout_and_a_cancelled_token_at_once(self):
        for mode in ("sync", "async"):
            with self.subTest(mode):
                self.held_mutex(mode)
                self.remove()

    def held_mutex(self, mode):
        monitor = self.standin("--hold")
        def not_responding():  # once the stand-in holds its mutex
            try:
                getvantorixinfo.read(timeout=0.2)
            except getvantorixinfo.VantorixNotResponding:
                return True
        wait_until(not_responding, "the stand-in to hold its mutex")
        reads = 3
        program = subprocess.Popen([OPTIONS.mono, os.path.join(OPTIONS.scratch, "probe.exe"), "hold", "0.5", str(reads),
                                    mode], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(program.stdout.close)
        self.addCleanup(program.stdin.close)
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)
        for read in range(reads):
            got = json.loads(program.stdout.readline())
            self.assertEqual(("VantorixNotRespondingException", errno.ETIMEDOUT, True),
                             (got["exception"], got["code"], got["monitor_running"]))
            # ReadAsync returned a task still waiting: it did not wait on the caller's thread.
            self.assertEqual(mode == "async" or None, got.get("pending"))
            self.assertGreaterEqual(got["seconds"], 0.5)
            if read:  # the first read also loads the library, which its timeout does not count
                self.assertLess(got["seconds"], 0.6)
        self.assertEqual("waiting\n", program.stdout.readline())
        # One copy waits for the mutex, the first read's: the later reads waited for it.
        self.assertEqual(1, waiting_for_the_lock(program.pid))
        program.stdin.write("\n")
        program.stdin.flush()
        got = json.loads(program.stdout.readline())
        self.assertEqual("OperationCanceledException", got["exception"])
        self.assertLess(got["seconds"], 0.1)
        # The copy still waits (under Mono the program's exit waits for it): it
        # ends once the monitor lets go, and the program with it.
        monitor.kill()
        program.communicate(timeout=60)  # a hang, not a slow machine, reaches this
        self.assertEqual(0, program.returncode)

    def test_exceptions_have_the_standard_constructors_and_survive_serialization(self):
        lines = [json.loads(line) for line in probe("exceptions").splitlines()]
        made, copied = lines[0::2], lines[1::2]
        self.assertEqual(made, copied)
        self.assertEqual([(0, None, False)] * 2 + [(0, None, True), (errno.ENOENT, False, False)] +
                         [(errno.ETIMEDOUT, True, False)] * 2 + [(errno.ETIMEDOUT, True, True)],
                         [(error["code"], error["monitor_running"], error["inner"]) for error in made])

    def test_layout_matches_the_c_header(self):
        header = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-layout")], capture_output=True, text=True,
                                check=True).stdout
        self.assertEqual(header, probe("layout"))
        self.assertIn("total 0 2688\n", header)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--module", required=True, help="folder of the Python package getvantorixinfo")
    parser.add_argument("--library", required=True, help="folder of the built library")
    parser.add_argument("--source", required=True, help="the source tree's top")
    parser.add_argument("--scratch", required=True)
    OPTIONS, rest = parser.parse_known_args()
    OPTIONS.mcs, OPTIONS.mono = shutil.which("mcs"), shutil.which("mono")
    os.environ["VANTORIX_LIBRARY_DIR"] = OPTIONS.library
    sys.path.insert(0, OPTIONS.module)
    import getvantorixinfo  # noqa: E402
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
