#!/usr/bin/env python3
"""Tests of vantorix-info against the stand-in monitor, natively or under Wine:
--json gives back exactly the published record, --json and --prometheus show
each shared record fixture as expected, a missing monitor gives the
documented exit code and hint, --watch recovers when a monitor appears, and
--textfile's file is only ever a whole page."""
import argparse
import glob
import json
import os
import random
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import objects
import records
from waiting import wait_for_stop_signals, wait_until

# The monitor's record, independently of the C header.
LAYOUT = struct.Struct("<256i128iii256f4f100sBB2s")
assert LAYOUT.size == 2688

OPTIONS = None


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def shortest_digits(value):
    """How many significant digits the shortest decimal that reads back as
    the single-precision `value` has."""
    return next(n for n in range(1, 10) if f32(float("%.*g" % (n, value))) == value)


def digits(number):
    """Significant digits of `number` as JSON gave it (its shortest text)."""
    return len(repr(number).lower().split("e")[0].replace("-", "").replace(".", "").strip("0"))


def command(tool, *args):
    program = os.path.join(OPTIONS.bin, tool + OPTIONS.suffix)
    return ([OPTIONS.runner] if OPTIONS.runner else []) + [program, *args]


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def start(tool, *args, stdout, stderr):
    return subprocess.Popen(command(tool, *args), stdout=stdout, stderr=stderr)


def run(tool, *args, timeout=60):
    # Output goes through files, not pipes: a wineserver started by the
    # program inherits its pipes and would hold them open after it exits.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = start(tool, *args, stdout=out, stderr=err)
        try:
            process.wait(timeout=timeout)
        finally:
            process.kill()
        out.seek(0)
        err.seek(0)
        # Windows writes text with "\r\n" line ends.
        return Result(process.returncode, out.read().decode().replace("\r\n", "\n"),
                      err.read().decode().replace("\r\n", "\n"))


# The longest a program may take to come up. Under Wine that includes
# starting wineserver and booting the prefix's services when no other Wine
# process runs, which takes tens of seconds on a loaded machine.
START_SECONDS = 120
NOBODY_OBJECTS = [objects.MUTEX % 65534, objects.REGION % 65534]


def read_all(file):
    file.seek(0)
    return file.read()


def wait_for_output(file, text, process):
    """Whether `text` shows in `file`, written by `process`, in time."""
    deadline = time.time() + START_SECONDS
    while text not in read_all(file):
        if time.time() > deadline or process.poll() is not None:
            return text in read_all(file)
        time.sleep(0.1)
    return True


class Monitor:
    """The stand-in monitor as a separate process, for one test."""

    def __init__(self, *args):
        # Its output goes to a file (see run()), shown if it does not come up.
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command("vantorix-standin", *args),
                                        stdout=self.output, stderr=subprocess.STDOUT)
        deadline = time.time() + START_SECONDS
        while True:
            reader = run("vantorix-info", "--json")
            if reader.returncode == 0:
                break
            status = self.process.poll()
            if time.time() > deadline or status is not None:
                self.process.kill()
                self.process.wait()
                self.output.seek(0)
                raise RuntimeError("the stand-in monitor did not start publishing (%s); vantorix-info exited %d: "
                                   "%s%s\nthe stand-in's output:\n%s" % (
                                       "not within %d s" % START_SECONDS if status is None else "it exited with %d" % status,
                                       reader.returncode, reader.stdout, reader.stderr,
                                       self.output.read().decode(errors="replace")))
            time.sleep(0.1)

    def stop(self):
        if self.output.closed:
            return  # stopped already
        # Natively SIGTERM, so that it removes its objects. Wine does not pass
        # SIGTERM on to the program; there the objects go with the process.
        if OPTIONS.runner:
            self.process.kill()
        else:
            self.process.terminate()
        self.process.wait(timeout=30)
        self.output.close()
        deadline = time.time() + START_SECONDS
        while True:
            reader = run("vantorix-info")
            if reader.returncode == 1:
                break
            if time.time() > deadline:
                raise RuntimeError("the stopped monitor's region stays; vantorix-info exited %d: %s%s"
                                   % (reader.returncode, reader.stdout, reader.stderr))
            time.sleep(0.1)


def random_record(rng, core_total):
    core_load = [rng.randint(-2**31, 2**31 - 1) for _ in range(256)]
    tj_max = [rng.randint(-2**31, 2**31 - 1) for _ in range(128)]
    temp = [f32(rng.uniform(-1e6, 1e6)) for _ in range(256)]
    scalars = [f32(rng.uniform(0, 1e4)) for _ in range(4)]
    name = "".join(rng.choice("ABCDEFGHIJ abcdefghij0123456789@()-") for _ in range(rng.randint(1, 99)))
    fahrenheit, distance = rng.choice([0, 1, 0x80, 0xFF]), rng.choice([0, 1, 0x80, 0xFF])
    cpu_total = rng.randint(1, 8)
    values = (core_load + tj_max + [core_total, cpu_total] + temp + scalars +
              [name.encode().ljust(100, b"\0"), fahrenheit, distance, b"\xAB\xCD"])
    return LAYOUT.pack(*values), dict(core_load=core_load, tj_max=tj_max, core_total=core_total,
                                      cpu_total=cpu_total, temp=temp, vid_value=scalars[0],
                                      cpu_clock=scalars[1], fsb_clock=scalars[2],
                                      clock_multiplier=scalars[3], cpu_name=name,
                                      fahrenheit=fahrenheit != 0, distance_to_tj_max=distance != 0)


class ReaderToolTest(unittest.TestCase):
    def publish(self, packed):
        handle, path = tempfile.mkstemp(suffix=".record", dir=OPTIONS.scratch)
        with os.fdopen(handle, "wb") as file:
            file.write(packed)
        self.addCleanup(os.remove, path)
        monitor = Monitor("--record", OPTIONS.path_prefix + path)
        self.addCleanup(monitor.stop)

    def test_json_equals_the_published_record_field_by_field(self):
        rng = random.Random(20261208)
        for core_total in (1, 7, 256):
            packed, expected = random_record(rng, core_total)
            self.publish(packed)
            result = run("vantorix-info", "--json")
            self.assertEqual(0, result.returncode, result.stderr)
            got = json.loads(result.stdout)
            self.assertTrue(got["ok"])
            cores, tj = min(core_total, 256), min(core_total, 128)
            for field in ("core_total", "cpu_total", "cpu_name", "fahrenheit", "distance_to_tj_max"):
                self.assertEqual(expected[field], got[field], field)
            # Each float exactly, written as the shortest decimal of its
            # single-precision value (45.3, not 45.29999923706055).
            for field in ("vid_value", "cpu_clock", "fsb_clock", "clock_multiplier"):
                self.assertEqual(expected[field], f32(got[field]), field)
                self.assertEqual(shortest_digits(expected[field]), digits(got[field]), field)
            self.assertEqual(expected["core_load"][:cores], got["core_load"])
            self.assertEqual(expected["temp"][:cores], [f32(v) for v in got["temp"]])
            self.assertEqual([shortest_digits(v) for v in expected["temp"][:cores]], [digits(v) for v in got["temp"]])
            self.assertEqual(expected["tj_max"][:tj], got["tj_max"])
            self.doCleanups()

    def test_json_metrics_and_table_show_each_record_fixture(self):
        for name, path, expected in records.fixtures():
            with self.subTest(name):
                monitor = Monitor("--record", OPTIONS.path_prefix + path)
                try:
                    got = json.loads(run("vantorix-info", "--json").stdout)
                    metrics = run("vantorix-info", "--prometheus").stdout.splitlines()
                    table = run("vantorix-info").stdout.splitlines()
                finally:
                    monitor.stop()
                self.assertEqual(expected["json"], {field: got[field] for field in expected["json"]})
                # Liveness is unknown under Wine, and how long the record stayed the same is not the record.
                self.assertEqual(expected["prometheus"], [line for line in metrics if not re.match(
                    r"(# (HELP|TYPE) )?vantorix_(monitor_alive|record_unchanged)", line)])
                self.assertEqual(expected["table"], table)

    def test_counts_out_of_range_never_read_outside_the_record(self):
        rng = random.Random(7)
        for core_total, shown in ((100000, 256), (-5, 0)):
            packed, _ = random_record(rng, core_total)
            self.publish(packed)
            result = run("vantorix-info", "--json")
            self.assertEqual(0, result.returncode, result.stderr)
            got = json.loads(result.stdout)
            self.assertEqual(shown, len(got["core_load"]))
            self.assertEqual(min(shown, 128), len(got["tj_max"]))
            table = run("vantorix-info")
            self.assertEqual(0, table.returncode, table.stderr)
            rows = [line for line in table.stdout.splitlines() if re.match(r"\s*\d+\s", line)]
            self.assertEqual(shown, len(rows), "rows of the table")
            self.doCleanups()

    def test_hostile_record_keeps_every_output_valid(self):
        name = b"\x1b]0;owned\x07\r\nforged line\x9b2J caf\xe9\x7f"
        floats = [float("nan"), float("inf"), float("-inf"), 3.4e38]
        values = ([7] * 256 + [100] * 128 + [100000, 1] + floats * 64 + floats +
                  [name.ljust(100, b"\0"), 1, 0, b"\0\0"])
        self.publish(LAYOUT.pack(*values))

        table = run("vantorix-info")
        self.assertEqual(0, table.returncode, table.stderr)
        self.assertIsNone(re.search(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", table.stdout), "a control character reached the terminal")
        self.assertIn("CPU:        \\x1B]0;owned\\x07\\x0D\\x0Aforged line\\x9B2J caf\u00e9\\x7F", table.stdout)
        self.assertIn("invalid", table.stdout)

        result = run("vantorix-info", "--json")
        self.assertEqual(0, result.returncode, result.stderr)
        got = json.loads(result.stdout, parse_constant=lambda text: self.fail("not JSON: " + text))
        self.assertEqual(name.decode("latin-1"), got["cpu_name"])
        self.assertEqual([None, None, None, f32(3.4e38)], [None if v is None else f32(v) for v in got["temp"][:4]])
        self.assertEqual(None, got["vid_value"])

        metrics = run("vantorix-info", "--prometheus")
        self.assertEqual(0, metrics.returncode, metrics.stderr)
        by_core = {}  # sample values by their core label (None: not per core)
        for line in metrics.stdout.splitlines():
            if not line.startswith("#"):
                self.assertRegex(line, r" (NaN|[+-]Inf|-?[0-9][0-9.e+-]*)$")
                core = re.search(r'core="(\d+)"', line)
                by_core.setdefault(core and core.group(1), []).append(float(line.rsplit(" ", 1)[1]))
        # By value, whatever the names: core 1 reads +inf and core 2 -inf
        # (with load 7%, a ratio of 0.07, and TjMax 100 degrees F, in Celsius),
        # the bus clock -inf, the clock +inf.
        tj_max = f32((100 - 32) * 5 / 9)
        self.assertEqual([f32(0.07), tj_max, float("inf")], sorted(f32(v) for v in by_core["1"]))
        self.assertEqual([float("-inf"), f32(0.07), tj_max], sorted(f32(v) for v in by_core["2"]))
        self.assertIn(float("-inf"), by_core[None])
        self.assertIn(float("inf"), by_core[None])
        self.assertIn('vantorix_vid_volts{cpu="\\\\x1B]0;owned', metrics.stdout)

        watch = run("vantorix-info", "--watch", "0.1", "--count", "2")
        self.assertEqual(0, watch.returncode, watch.stderr)
        self.assertIsNone(re.search(r"[\x00-\x09\x0b-\x1a\x1c-\x1f\x7f-\x9f]|\x1b(?!\[(\?1049[hl]|\?25[hl]|[HKJ]))",
                                    watch.stdout), "a control character reached the terminal")

    def test_bad_command_lines_name_the_option_and_exit_3(self):
        cases = [("--count", "abc"), ("--count", "0"), ("--count", "1.5"), ("--interval", "nan"),
                 ("--interval", "0"), ("--interval", "-1"), ("--unchanged-after", "abc"), ("--timeout", "inf"),
                 ("--watch", "x"), ("--watch", "0"), ("--no-such-option",), ("--json", "--prometheus"),
                 ("--count",), ("--interval",), ("--timeout",), ("--unchanged-after",), ("--serve",),
                 ("--web-config", "web.yml"), ("--mqtt", "mqtt://h:0"), ("--mqtt", "mqtt://h:65536"),
                 ("--mqtt", "mqtt://h:+80"),
                 ("--web-config", "absent.yml", "--serve", "0")]  # Windows: not in this build
        for args in cases:
            result = run("vantorix-info", *args)
            self.assertEqual(3, result.returncode, args)
            self.assertIn(args[-1] if len(args) == 2 and args[0] == "--json" else args[0], result.stderr, args)
        # An option that may go without its value takes its default then.
        for args, interval in ((("--watch",), "1"), (("--watch", "0.5"), "0.5"), (("--watch", "--interval", "2"), "2"),
                               (("--interval", "3", "--watch"), "3")):
            watch = run("vantorix-info", *args, "--count", "1", "--timeout", "0.5")
            self.assertEqual(0, watch.returncode, args)
            self.assertIn("(refreshing every %s s;" % interval, watch.stdout, args)
        version = run("vantorix-info", "--version")
        self.assertEqual(0, version.returncode)
        self.assertRegex(version.stdout, r"^vantorix-info \d+\.\d+\.\d+")

    def test_a_second_monitor_refuses_to_start(self):
        monitor = Monitor("--generation", "5")
        self.addCleanup(monitor.stop)
        second = run("vantorix-standin", "--generation", "6")
        self.assertNotEqual(0, second.returncode)
        self.assertIn("publishing already", second.stderr)
        self.assertEqual(5, json.loads(run("vantorix-info", "--json").stdout)["core_load"][0])
        monitor.stop()
        self.assertEqual(1, run("vantorix-info").returncode, "the first monitor's region stayed")

    @unittest.skipIf(os.name != "posix", "signals")
    def test_frozen_monitor_is_reported_and_signals_end_every_mode(self):
        if OPTIONS.runner:
            self.skipTest("Wine does not pass signals on")
        monitor = Monitor("--generation", "8")  # readable before it freezes
        self.addCleanup(monitor.stop)
        self.assertEqual(0, run("vantorix-info", "--timeout", "0.5").returncode, "a fractional timeout is not 0")
        monitor.stop()
        frozen = subprocess.Popen(command("vantorix-standin", "--hold"), stdout=subprocess.PIPE)
        self.addCleanup(frozen.wait)
        self.addCleanup(frozen.kill)
        self.assertEqual(b"ready\n", frozen.stdout.readline())
        # --hold takes the mutex just after "ready": until then reads succeed.
        wait_until(lambda: run("vantorix-info", "--timeout", "0.1").returncode == 4, "the held mutex", process=frozen)
        for timeout, mode in (("0.5", ()), ("0.5", ("--json",)), ("2.9", ())):
            started = time.time()
            result = run("vantorix-info", "--timeout", timeout, *mode)
            self.assertGreaterEqual(time.time() - started, float(timeout), "gave up early")
            self.assertEqual(4, result.returncode, mode)
            self.assertIn("not responding", result.stderr + result.stdout, mode)
        metrics = run("vantorix-info", "--timeout", "0.5", "--prometheus")  # the page says it: the exit is 0
        self.assertEqual((0, True, True), (metrics.returncode, "vantorix_up 0\n" in metrics.stdout,
                                           "vantorix_responding 0\n" in metrics.stdout))
        for mode, stopped in (((), None), (("--json",), None), (("--prometheus",), None),
                              (("--jsonl",), 0), (("--watch",), 0)):
            for signal_number in (signal.SIGINT, signal.SIGTERM):
                with tempfile.TemporaryFile() as out:
                    tool = start("vantorix-info", "--timeout", "60", *mode, stdout=out, stderr=subprocess.DEVNULL)
                    wait_for_stop_signals(tool)
                    tool.send_signal(signal_number)
                    # Far below the read's own 60 s: only a tool that waited out its read is late.
                    try:
                        code = tool.wait(timeout=15)
                    except subprocess.TimeoutExpired:
                        tool.kill()
                        self.fail("%s did not end within 15 s of signal %d" % (mode, signal_number))
                    out.seek(0)
                    self.assertEqual(128 + signal_number if stopped is None else stopped, code, mode)
                    if mode == ("--watch",):
                        self.assertTrue(out.read().endswith(b"\x1b[?1049l\x1b[?25h"), "terminal not restored")

    def test_a_failed_read_says_why_in_its_exit_status(self):
        # (region planted, its mode; exit status, text on stderr, JSON's
        # monitor_running). Planting is Linux's: there the region is a file.
        cases = [(None, None, 1, "the Vantorix monitor is not running", False),
                 (b"\0" * 100, 0o600, 2, "reading failed", True),  # shorter than a record
                 (LAYOUT.size * b"\0", 0o666, 2, "reading failed", True)]  # others may write it
        for planted, mode, status, text, running in cases:
            if planted is not None and (OPTIONS.runner or os.name != "posix"):
                continue
            with self.subTest(mode=mode):
                region = objects.REGION % os.geteuid()
                if planted is not None:
                    with open(region, "wb") as file:
                        file.write(planted)
                    os.chmod(region, mode)
                    self.addCleanup(os.remove, region)
                result = run("vantorix-info")
                self.assertEqual(status, result.returncode, result.stderr)
                self.assertIn(text, result.stderr)
                if status == 1:  # what to start
                    self.assertIn("start the Vantorix monitor" if OPTIONS.runner else
                                  "start vantorix-publisher (systemctl --user start vantorix-publisher)", result.stderr)
                result = run("vantorix-info", "--json")
                self.assertEqual(status, result.returncode, result.stderr)
                got = json.loads(result.stdout)
                self.assertEqual((False, running), (got["ok"], got["monitor_running"]))
                self.assertEqual(status == 1, got["error"] == 2, got)
                self.doCleanups()

    def test_root_is_told_how_to_read_another_users_monitor(self):
        if OPTIONS.runner or os.geteuid() != 0:
            self.skipTest("Linux, as root: a monitor of another user (nobody)")
        as_nobody = ["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups"]
        with tempfile.TemporaryFile() as output:
            monitor = subprocess.Popen(as_nobody + command("vantorix-standin"), stdout=output, stderr=output)
            for name in NOBODY_OBJECTS:
                self.addCleanup(lambda path=name: os.path.exists(path) and os.remove(path))
            self.addCleanup(monitor.wait, 30)
            self.addCleanup(monitor.terminate)
            try:
                wait_until(lambda: subprocess.run(as_nobody + command("vantorix-info"), capture_output=True).returncode == 0,
                           "nobody's monitor", START_SECONDS, monitor)
            except AssertionError as error:
                self.fail("%s\nits output:\n%s" % (error, read_all(output)))
        result = run("vantorix-info")
        hint = "a monitor runs for the user nobody, whose readings only that user reads: runuser -u nobody -- vantorix-info"
        self.assertEqual((1, True), (result.returncode, hint in result.stderr), result.stderr)
        self.assertEqual(0, subprocess.run(["runuser", "-u", "nobody", "--", *command("vantorix-info")],
                                           capture_output=True).returncode, "the hint's command")
        monitor.kill()  # its region stays, unlocked: a dead monitor's
        monitor.wait(30)
        self.assertNotIn("a monitor runs", run("vantorix-info").stderr, "a hint for a dead monitor's region")

    def test_a_dead_monitors_record_is_told_from_a_live_ones(self):
        monitor = Monitor("--generation", "6")
        self.addCleanup(monitor.stop)
        # Windows cannot tell: a dead monitor's region goes with it.
        alive = None if OPTIONS.runner else True
        self.assertEqual((0, alive), (lambda r: (r.returncode, json.loads(r.stdout)["monitor_alive"]))(
            run("vantorix-info", "--json")))
        metrics = run("vantorix-info", "--prometheus").stdout
        self.assertEqual(alive is not None, "vantorix_monitor_alive 1\n" in metrics, metrics)
        if OPTIONS.runner:
            return
        monitor.process.kill()  # no withdrawal: the region and its last record stay
        monitor.process.wait()
        stopped = "the monitor stopped; its last record is left"
        for mode, status, check in (((), 5, lambda out: out.startswith(stopped + ": start vantorix-publisher")),
                                    (("--json",), 5, lambda out: json.loads(out)["monitor_alive"] is False),
                                    (("--prometheus",), 0, lambda out: "vantorix_monitor_alive 0\n" in out),
                                    (("--watch", "--count", "1"), 0, lambda out: stopped in out)):
            result = run("vantorix-info", *mode)
            self.assertEqual(status, result.returncode, mode)
            self.assertTrue(check(result.stdout), result.stdout)
            self.assertIn("Stand-in CPU, generation 6", result.stdout, mode)
        self.assertIn(stopped, run("vantorix-info", "--json").stderr)
        second = Monitor("--generation", "7")  # replaces the leftover region
        self.addCleanup(second.stop)
        self.assertEqual(0, run("vantorix-info").returncode)

    def test_help_documents_the_exit_codes(self):
        result = run("vantorix-info", "--help")
        self.assertEqual(0, result.returncode)
        for line in ("0  the readings were read", "1  the Vantorix monitor is not running",
                     "2  the read failed", "3  bad command line", "5  the monitor stopped"):
            self.assertIn(line, result.stdout)
        self.assertEqual(3, run("vantorix-info", "--no-such-option").returncode)

    def test_textfile_is_only_ever_a_whole_page(self):
        """--textfile, alone and beside --serve: a reader polling the file
        while the tool rewrites it every 0.1 s reads whole, valid pages only
        (LF line ends, no byte order mark, a newline at the end); a write
        that fails (the path is a folder) is reported once, leaves no
        temporary file, never stops the server and is tried again at each
        read; a FIFO planted where a temporary goes does not stop it."""
        monitor = Monitor("--synthetic", "--rate", "20")
        self.addCleanup(monitor.stop)
        line = re.compile(r"(# (HELP|TYPE) \w+ .+|\w+(\{[^}\n]*\})? \S+)\n")
        for name, args in (("alone", ()), ("beside --serve", ("--serve", "0"))):
            with self.subTest(name), tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as folder:
                path = os.path.join(folder, "vantorix.prom")
                tool, out, err = self.start_textfile(path, *args)
                wait_until(lambda: os.path.exists(path), "the first page", process=tool)
                rewrites, inode_seen, shape, polls = 0, None, None, 0
                deadline = time.monotonic() + 120  # 20 rewrites take 2 s: only a hang reaches it
                while rewrites < 20 and time.monotonic() < deadline:  # polled as fast as it goes
                    polls += 1
                    with open(path, "rb") as file:
                        page, inode = file.read(), os.fstat(file.fileno()).st_ino
                    text = page.decode("utf-8")  # UTF-8, whole
                    self.assertFalse(page.startswith(b"\xef\xbb\xbf") or b"\r" in page, page[:80])
                    self.assertEqual("", line.sub("", text), "not whole lines of the text format")
                    # Every page has the same samples: a cut one has fewer.
                    names = [sample.split(" ")[0] for sample in text.splitlines() if not sample.startswith("#")]
                    shape = shape or names
                    self.assertEqual(shape, names)
                    self.assertIn("vantorix_up 1\n", text)
                    rewrites, inode_seen = rewrites + (inode != inode_seen), inode  # each page is a new file
                self.assertEqual(20, rewrites, "rewrites seen in %d polls" % polls)
                if args:
                    self.assertIn("vantorix_up 1\n", self.scrape(out))
                self.only_the_page(folder, tool)
                self.stop_textfile(tool, folder)
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as folder:
            path = os.path.join(folder, "vantorix.prom")
            os.mkdir(path)  # the move over it fails at every read
            tool, out, err = self.start_textfile(path, "--serve", "0")
            reports = lambda: read_all(err).decode().count("cannot write the metrics to")
            wait_until(reports, "the failed write's report", process=tool)
            reads = lambda: int(re.search(r"^vantorix_reads_total (\d+)", self.scrape(out), re.M).group(1))
            later = reads() + 5
            wait_until(lambda: reads() >= later, "five more reads, each failing to write", process=tool)
            self.assertEqual(1, reports(), read_all(err))
            self.only_the_page(folder, tool)
            os.rmdir(path)
            wait_until(lambda: os.path.isfile(path), "the page, at the next read", process=tool)
            wait_until(lambda: b"writing the metrics to %s again" % (OPTIONS.path_prefix + path).encode()
                       in read_all(err), "the note that it writes again", process=tool)
            if not OPTIONS.runner:  # a FIFO where its next temporary goes, which an open would wait on
                page = os.stat(path).st_ino
                os.mkfifo("%s.%d.tmp" % (path, tool.pid))
                wait_until(lambda: os.stat(path).st_ino != page, "the page after a FIFO", process=tool)
            self.stop_textfile(tool, folder)

    def start_textfile(self, path, *args):
        """vantorix-info --textfile `path` every 0.1 s, with `args`, once it
        runs; and the files its output and its errors go to."""
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.addCleanup(out.close)
        self.addCleanup(err.close)
        tool = start("vantorix-info", "--textfile", OPTIONS.path_prefix + path, "--interval", "0.1", *args,
                     stdout=out, stderr=err)
        self.addCleanup(tool.wait)
        self.addCleanup(tool.kill)
        self.assertTrue(wait_for_output(out, b"writing the metrics to", tool), read_all(err))
        if args:
            self.assertTrue(wait_for_output(out, b"serving http://", tool), read_all(err))
        return tool, out, err

    def only_the_page(self, folder, tool):
        """Waits until `folder` holds the page alone, between two writes: a
        temporary file that stayed behind would be there at every look."""
        wait_until(lambda: os.listdir(folder) == ["vantorix.prom"], "no file but the page in " + folder, process=tool)

    def stop_textfile(self, tool, folder):
        # Natively SIGTERM, which ends it with 0 once a write in progress is
        # done, leaving the page alone; Wine passes no signal on.
        if OPTIONS.runner:
            tool.kill()
            tool.wait(timeout=30)
        else:
            tool.terminate()
            self.assertEqual(0, tool.wait(timeout=30))
            self.assertEqual(["vantorix.prom"], os.listdir(folder), "a temporary file stayed")

    def scrape(self, out):
        url = re.search(rb"serving (http://\S+/)", read_all(out)).group(1).decode()
        with urllib.request.urlopen(url + "metrics", timeout=30) as response:
            return response.read().decode()

    def test_textfile_start_checks_its_folder_and_removes_stale_temporaries(self):
        """A --textfile whose folder does not exist ends the tool at start,
        alone or beside --serve, with status 3 and one line that names it,
        and makes no folder. A start removes the page's temporary files whose
        process has ended (a kill in the middle of a write leaves one) and no
        other file. A path outside the ANSI code page (Ω) is written where it
        names, not into a look-alike folder (O) that exists."""
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as folder:
            missing = os.path.join(folder, "none", "vantorix.prom")
            for args in (("--count", "1"), ("--serve", "0")):
                result = run("vantorix-info", "--textfile", OPTIONS.path_prefix + missing, *args)
                self.assertEqual(3, result.returncode, result.stdout + result.stderr)
                self.assertRegex(result.stderr, r"\A\S+ --textfile \S+vantorix\.prom: its folder \S+none\\?"
                                                r" does not exist\n\Z")
                self.assertEqual([], os.listdir(folder))
            # What msiexec leaves of a quoted path with spaces (--textfile \) names a folder.
            result = run("vantorix-info", "--textfile", "\\" if OPTIONS.runner else folder + "/", "--count", "1")
            self.assertEqual((3, "it names a folder, not a file\n"), (result.returncode, result.stderr[-30:]))
            pages, look_alike = os.path.join(folder, "\u03a9dir"), os.path.join(folder, "Odir")
            os.mkdir(pages)
            os.mkdir(look_alike)
            ended = subprocess.Popen(["true"])
            ended.wait()
            kept = ["other.prom.%d.tmp" % ended.pid, "vantorix.prom.%dx.tmp" % ended.pid]
            if not OPTIONS.runner:  # a live process's (under Wine, Windows' process ids are not Linux's)
                kept.append("vantorix.prom.%d.tmp" % os.getpid())
            for name in kept + ["vantorix.prom.%d.tmp" % ended.pid]:
                open(os.path.join(pages, name), "w").close()
            result = run("vantorix-info", "--textfile", OPTIONS.path_prefix + os.path.join(pages, "vantorix.prom"),
                         "--count", "1")
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(sorted(kept + ["vantorix.prom"]), sorted(os.listdir(pages)))
            self.assertEqual([], os.listdir(look_alike))

    def test_synthetic_readings_drift_without_a_rate(self):
        """The stand-in's --synthetic alone keeps republishing: a page it
        feeds does not freeze."""
        monitor = Monitor("--synthetic")
        self.addCleanup(monitor.stop)
        first = run("vantorix-info", "--json")
        self.assertEqual(0, first.returncode, first.stderr)
        wait_until(lambda: run("vantorix-info", "--json").stdout not in ("", first.stdout), "a new reading")

    def test_windowless_log_is_one_stream_and_stays_bounded(self):
        """vantorix-infow.exe's log: stdout and stderr append to one stream,
        so a log begun anew at start keeps its start line; one that grows
        past 1 MiB while the program runs is begun anew then, the start line
        again at its top."""
        if not OPTIONS.runner:
            self.skipTest("vantorix-infow.exe is Windows' own")
        self.assertEqual(0, run("vantorix-infow", "--version").returncode)
        with open(OPTIONS.runner) as runner:
            prefix = re.search(r"^WINEPREFIX='(.*)'$", runner.read(), re.M).group(1)
        log, = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "GetVantorixInfo",
                                      "vantorix-info.log"))

        def read_log():
            with open(log, "rb") as file:
                return file.read().decode(errors="replace").replace("\r\n", "\n")
        started = r"vantorix-infow \S+ started, process \d+: \S+vantorix-infow\.exe\"? "
        with open(log, "wb") as file:
            file.write(b"x" * 2**20 + b"\n")
        self.assertEqual(0, run("vantorix-infow", "--version").returncode)
        self.assertRegex(read_log(), r"\A\S+ %s--version\nvantorix-info \S+\n\S+ vantorix-infow exited with status 0\n\Z"
                         % started)
        with open(log, "wb") as file:
            file.write(b"x" * (2**20 - 200) + b"\n")
        tool = start("vantorix-infow", "--jsonl", "--interval", "0.05", stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        self.addCleanup(tool.wait)
        self.addCleanup(tool.kill)
        wait_until(lambda: "begun anew" in read_log(), "the log begun anew while it runs", process=tool)
        self.assertRegex(read_log(), r"\A\S+ the log was past 1 MiB, begun anew; %s--jsonl" % started)

    def test_watch_waits_for_the_monitor_and_recovers(self):
        out = tempfile.TemporaryFile()
        self.addCleanup(out.close)
        watcher = start("vantorix-info", "--watch", "0.2", stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(watcher.wait)
        self.addCleanup(watcher.kill)
        # Each step waits for what the watcher shows, not for a fixed pause:
        # a start under Wine can take longer than any.
        self.assertTrue(wait_for_output(out, b"monitor not running", watcher), read_all(out)[-500:])
        monitor = Monitor("--generation", "31337")
        self.addCleanup(monitor.stop)
        self.assertTrue(wait_for_output(out, b"Stand-in CPU, generation 31337", watcher), read_all(out)[-500:])
        if not OPTIONS.runner:  # Wine does not pass signals on
            watcher.send_signal(signal.SIGINT)
            self.assertEqual(0, watcher.wait(timeout=10))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="folder of the built programs")
    parser.add_argument("--runner", default="", help="program that runs them (the Wine wrapper)")
    parser.add_argument("--suffix", default="", help="file suffix of programs (.exe)")
    parser.add_argument("--path-prefix", default="", help="prefix that makes a path the programs' own (Z:)")
    parser.add_argument("--scratch", default=tempfile.gettempdir())
    OPTIONS, rest = parser.parse_known_args()
    # Under Wine the suite's one session (ctest's wine_session fixture) keeps
    # wineserver and the prefix's services running between the programs.
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
