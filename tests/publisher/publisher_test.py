#!/usr/bin/env python3
"""Tests of vantorix-publisher as its users run it: its command line, what it
publishes from a captured tree, its stop on SIGTERM and SIGINT, one publisher
per user, its readings invisible to other users (as root, with a throwaway
user, from an installed copy that user can reach), and its systemd unit as
installed, with vantorix-info --serve's, and both as system services
(systemd-analyze verify, the hardening scores, and the server's command line
as the unit gives it)."""
import argparse
import fcntl
import json
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import systemd_unit
import objects
from waiting import takes_stop_signals, wait_until

OPTIONS = None
OTHER_USER = "vantorix-hostile"  # the throwaway user of hostile_test.cpp
REGION = objects.REGION
MUTEX = objects.MUTEX


def as_user(user, command):
    if user is None:
        return command
    return ["setpriv", "--reuid", user, "--regid", user, "--init-groups", "--"] + command


def info(*args, user=None, bin_dir=None):
    return subprocess.run(as_user(user, [os.path.join(bin_dir or OPTIONS.bin, "vantorix-info"), *args]),
                          capture_output=True, text=True, timeout=60)


def install(prefix):
    subprocess.run(["cmake", "--install", OPTIONS.build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)


class Publisher:
    def __init__(self, *args, user=None, bin_dir=None, umask=None):
        self.process = subprocess.Popen(
            as_user(user, [os.path.join(bin_dir or OPTIONS.bin, "vantorix-publisher"), *args]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=None if umask is None else lambda: os.umask(umask))
        # Its own word that it publishes, printed once its objects exist: no
        # reader has touched them before (a reader would make the mutex file).
        ready = select.select([self.process.stdout], [], [], 20)[0]
        if "publishing" not in (self.process.stdout.readline() if ready else ""):
            self.process.kill()
            raise RuntimeError("vantorix-publisher did not start publishing: " + self.process.communicate()[1])

    def stop(self, how):
        with open("/proc/%d/status" % self.process.pid) as status:
            self.peak_kib = int(re.search(r"^VmHWM:\s+(\d+) kB", status.read(), re.M).group(1))
        self.process.send_signal(how)
        _, self.stderr = self.process.communicate(timeout=10)
        return self.process.returncode


class PublisherTest(unittest.TestCase):
    def test_bad_command_lines_exit_2_naming_the_option(self):
        cases = [(["--rate", "abc"], "--rate"), (["--rate", "5x"], "--rate"), (["--rate", "0"], "--rate"),
                 (["--rate", "1000"], "--rate"), (["--rate"], "--rate"), (["--root", "/no/such/dir"], "--root"),
                 (["--frobnicate"], "--frobnicate"), (["extra"], "extra")]
        for args, named in cases:
            result = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-publisher"), *args],
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual(2, result.returncode, args)
            self.assertIn(named, result.stderr, args)
            self.assertFalse(os.path.exists(REGION % os.geteuid()), args)
        usage = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-publisher"), "--help"],
                               capture_output=True, text=True, timeout=10)
        self.assertEqual(0, usage.returncode)
        self.assertIn("--rate HZ", usage.stdout)
        version = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-publisher"), "--version"],
                                 capture_output=True, text=True, timeout=10)
        self.assertRegex(version.stdout, r"^vantorix-publisher \d+\.\d+\.\d+\n$")

    def test_publishes_a_captured_tree_until_sigterm(self):
        publisher = Publisher("--root", os.path.join(OPTIONS.data, "made-amd-k10temp-cpufreq"), "--rate", "4")
        try:
            record = json.loads(info("--json").stdout)
            self.assertEqual("AMD Ryzen 5 1500X Quad-Core Processor", record["cpu_name"])
            self.assertEqual((1, 8), (record["cpu_total"], record["core_total"]))
            self.assertEqual([51.25] * 8, record["temp"])
            self.assertEqual(3700, record["cpu_clock"])
            # The first record holds the loads since boot; a republish, those
            # of an interval in which the captured counters did not move.
            deadline = time.time() + 5
            while any(json.loads(info("--json").stdout)["core_load"]):
                self.assertLess(time.time(), deadline, "never republished")
                time.sleep(0.1)
            second = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-publisher")], capture_output=True,
                                    text=True, timeout=20)
            self.assertEqual(1, second.returncode)
            self.assertIn("another monitor of this user", second.stderr)
        finally:
            self.assertEqual(0, publisher.stop(signal.SIGTERM))
        self.assertIn("published as 0: TjMax, bus clock, multiplier, VID", publisher.stderr)
        self.assertEqual(1, info().returncode)
        self.assertFalse(os.path.exists(REGION % os.geteuid()))
        self.assertTrue(os.path.exists(MUTEX % os.geteuid()), "readers may hold the mutex file: it stays")

    def test_objects_are_private_whatever_the_umask(self):
        tree = os.path.join(OPTIONS.data, "made-amd-k10temp-cpufreq")
        for umask in (0o000, 0o022, 0o077, 0o177, 0o277, 0o377, 0o777):
            with self.subTest(umask=oct(umask)):
                if os.path.exists(MUTEX % os.geteuid()):
                    os.unlink(MUTEX % os.geteuid())  # made anew under this umask
                publisher = Publisher("--root", tree, umask=umask)
                try:
                    modes = [os.stat(path % os.geteuid()).st_mode & 0o777 for path in (MUTEX, REGION)]
                finally:
                    self.assertEqual(0, publisher.stop(signal.SIGTERM), publisher.stderr)
                self.assertEqual([0o600, 0o600], modes)

    def test_a_stop_withdraws_only_the_region_it_made(self):
        # (what happens before the stop; exit status, whether the region it
        # published is still there). Another monitor's region may sit under
        # the name by then (ours was removed, and the other started): it
        # stays. A process that keeps the mutex does not keep the publisher
        # from ending: after 5 s it leaves its region for the next monitor.
        tree = os.path.join(OPTIONS.data, "made-amd-k10temp-cpufreq")
        region = REGION % os.geteuid()
        for situation, status, stays in (("none", 0, False), ("replaced", 0, True), ("mutex held", 1, True)):
            with self.subTest(situation=situation):
                publisher = Publisher("--root", tree)
                if situation == "replaced":
                    os.unlink(region)
                    with open(region, "wb") as other:
                        other.write(bytes(2688))
                    os.chmod(region, 0o600)
                elif situation == "mutex held":
                    holder = open(MUTEX % os.geteuid(), "rb")
                    fcntl.flock(holder, fcntl.LOCK_EX)
                    self.addCleanup(holder.close)
                identity = os.stat(region).st_ino
                self.assertEqual(status, publisher.stop(signal.SIGTERM), publisher.stderr)
                self.assertEqual(stays, os.path.exists(region) and os.stat(region).st_ino == identity)
                self.doCleanups()
                if os.path.exists(region):
                    os.remove(region)

    def hostile_tree(self, files, plant):
        """A copy of the captured ARM board with `files` replaced by `plant`:
        "fifo", "zero" (a link to /dev/zero), "huge" (a regular file of
        256 MiB, sparse) or the text to write."""
        root = tempfile.mkdtemp(prefix="vantorix-hostile-")
        self.addCleanup(shutil.rmtree, root)
        shutil.copytree(os.path.join(OPTIONS.data, "made-arm64-thermal-zone"), root, dirs_exist_ok=True)
        for name in files:
            path = os.path.join(root, name)
            os.remove(path)
            if plant == "fifo":
                os.mkfifo(path)
            elif plant == "zero":
                os.symlink("/dev/zero", path)
            elif plant == "huge":
                with open(path, "wb") as file:
                    file.truncate(256 << 20)
            else:
                with open(path, "w") as file:
                    file.write(plant)
        return root

    def test_hostile_files_in_the_tree_are_published_as_missing(self):
        # The board publishes 47.236 degrees, TjMax 90 and 600 MHz; a file
        # that blocks, never ends or holds no plausible number is missing.
        crit = ["sys/class/thermal/thermal_zone1/trip_point_1_temp"]
        temp = ["sys/class/thermal/thermal_zone1/temp"]
        clocks = ["sys/devices/system/cpu/cpu%d/cpufreq/scaling_cur_freq" % cpu for cpu in range(4)]
        cases = [("FIFO", crit, "fifo", "tj_max", None), ("FIFO", temp, "fifo", "temp", None),
                 ("/dev/zero link", crit, "zero", "tj_max", None), ("/dev/zero link", clocks, "zero", "cpu_clock", None),
                 ("huge regular file", temp, "huge", "temp", None),
                 ("padded past the read limit", crit, "90000" + " " * 5000 + "\n", "tj_max", None),
                 ("huge number", crit, "99999999999999999999\n", "tj_max", None),
                 ("huge number", clocks, "99999999999999999999\n", "cpu_clock", None),
                 ("trailing garbage", temp, "12abc\n", "temp", None),
                 ("trailing garbage", crit, "85000abc\n", "tj_max", None),
                 ("1e400", temp, "1e400\n", "temp", None), ("1e400", clocks, "1e400\n", "cpu_clock", None),
                 ("negative", crit, "-5000\n", "tj_max", None), ("negative", clocks, "-600000\n", "cpu_clock", None),
                 ("negative, a real temperature", temp, "-5000\n", "temp", -5),
                 ("as captured", [], "", "tj_max", 90)]
        for what, files, plant, field, expected in cases:
            with self.subTest(what=what, field=field):
                publisher = Publisher("--root", self.hostile_tree(files, plant), "--rate", "10")
                try:
                    record = json.loads(info("--json").stdout)
                    value = record[field]
                    self.assertEqual(expected, value[0] if isinstance(value, list) else value)
                    if field != "temp":
                        self.assertEqual(47.236, record["temp"][0], "the other readings stay")
                finally:
                    self.assertEqual(0, publisher.stop(signal.SIGTERM), publisher.stderr)
                self.assertLess(publisher.peak_kib, 100 * 1024, "it grew")

    def test_sigterm_ends_it_during_start(self):
        # Every file of the tree a FIFO: a start that waited on one would hang
        # here. A signal before it publishes ends it as signals do; one after,
        # as a stop: either way at once, and nothing is left published.
        files = [os.path.relpath(os.path.join(folder, name), os.path.join(OPTIONS.data, "made-arm64-thermal-zone"))
                 for folder, _, names in os.walk(os.path.join(OPTIONS.data, "made-arm64-thermal-zone"))
                 for name in names if name != "stat"]
        root = self.hostile_tree(files, "fifo")
        # (when the signal goes, whether the stop is a clean one): at once,
        # as it starts; once it takes its stop signals (just before it
        # publishes); once its region exists.
        program = os.path.join(OPTIONS.bin, "vantorix-publisher")
        for moment, ready, clean in (("at once", None, False),
                                     ("taking signals", lambda process: takes_stop_signals(process.pid), True),
                                     ("published", lambda _: os.path.exists(REGION % os.geteuid()), True)):
            with self.subTest(moment=moment):
                process = subprocess.Popen([program, "--root", root],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                if ready is not None:
                    try:
                        wait_until(lambda: ready(process), moment, process=process)
                    except AssertionError:
                        process.kill()  # not left publishing for the next moment
                        process.communicate()
                        raise
                process.send_signal(signal.SIGTERM)
                try:
                    _, stderr = process.communicate(timeout=15)
                except subprocess.TimeoutExpired:
                    process.kill()
                    self.fail("SIGTERM did not end it: " + process.communicate()[1])
                self.assertIn(process.returncode, (0,) if clean else (0, -signal.SIGTERM), stderr)
                self.assertFalse(os.path.exists(REGION % os.geteuid()))

    def test_other_users_do_not_see_the_readings(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to act as a second user")
        if subprocess.run(["id", OTHER_USER], capture_output=True).returncode != 0:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", OTHER_USER],
                           check=True)
        # Outside the build tree, which the other user may not reach.
        prefix = tempfile.mkdtemp(prefix="vantorix-publisher-")
        self.addCleanup(shutil.rmtree, prefix)
        os.chmod(prefix, 0o755)
        install(prefix)
        shutil.copytree(os.path.join(OPTIONS.module, "getvantorixinfo"), os.path.join(prefix, "python", "getvantorixinfo"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        bin_dir = os.path.join(prefix, "bin")

        def python_read(user):
            """monitor_running of the Python package's error, or "read"."""
            script = ("import getvantorixinfo\ntry:\n    getvantorixinfo.read()\n    print('read')\n"
                      "except getvantorixinfo.VantorixError as error:\n    print(error.monitor_running)\n")
            env = dict(os.environ, PYTHONPATH=os.path.join(prefix, "python"), PYTHONDONTWRITEBYTECODE="1",
                       VANTORIX_LIBRARY_DIR=os.path.join(prefix, "lib"))
            return subprocess.run(as_user(user, [sys.executable, "-c", script]), capture_output=True, text=True,
                                  env=env, timeout=60, check=True).stdout.strip()

        online = os.sysconf("SC_NPROCESSORS_ONLN")
        for publisher_user, reader_user in [(None, OTHER_USER), (OTHER_USER, None)]:
            with self.subTest(publisher=publisher_user or "root"):
                publisher = Publisher(user=publisher_user, bin_dir=bin_dir)  # this machine's readings
                try:
                    own = info("--json", user=publisher_user, bin_dir=bin_dir)
                    self.assertEqual(online, json.loads(own.stdout)["core_total"])
                    self.assertEqual("read", python_read(publisher_user))
                    other = info("--json", user=reader_user, bin_dir=bin_dir)
                    self.assertEqual(1, other.returncode, other.stdout)
                    self.assertFalse(json.loads(other.stdout)["monitor_running"])
                    self.assertEqual("False", python_read(reader_user))
                finally:
                    self.assertEqual(0, publisher.stop(signal.SIGINT))
                uid = pwd.getpwnam(publisher_user).pw_uid if publisher_user else 0
                self.assertFalse(os.path.exists(REGION % uid))
                if publisher_user:
                    os.unlink(MUTEX % uid)  # the throwaway user's, now that nothing of theirs runs

    def test_the_installed_units_verify(self):
        # (manager, unit): the highest exposure `systemd-analyze security` may give it (None: not checked)
        units = {("user", "vantorix-publisher.service"): None, ("user", "vantorix-info-serve.service"): 2.0,
                 ("system", "vantorix-publisher.service"): 0.2, ("system", "vantorix-info-serve.service"): 1.1}
        with tempfile.TemporaryDirectory(dir=OPTIONS.build) as prefix:
            install(prefix)
            for (manager, name), exposure in units.items():
                with self.subTest(manager=manager, unit=name):
                    self.check_unit(prefix, manager, name, exposure)

    def check_unit(self, prefix, manager, name, exposure):
        with open(os.path.join(prefix, "lib/systemd", manager, name)) as unit:
            text = unit.read()
        # It names the program (and the system server its arguments' file)
        # where the configured prefix puts them; here the same layout sits
        # under a scratch prefix.
        start = re.search(r"^ExecStart=(\S+)", text, re.M).group(1)
        self.assertTrue(start.startswith(OPTIONS.prefix + "/"), start)
        self.assertTrue(os.access(prefix + start[len(OPTIONS.prefix):], os.X_OK), start)
        moved = os.path.join(prefix, manager + "-" + name)
        text = text.replace("ExecStart=" + OPTIONS.prefix, "ExecStart=" + prefix)
        text = text.replace("EnvironmentFile=-" + OPTIONS.prefix, "EnvironmentFile=-" + prefix)
        with open(moved, "w") as unit:
            unit.write(text)
        result = subprocess.run(["systemd-analyze", "verify", moved], capture_output=True, text=True,
                                env=dict(os.environ, MANPATH=os.path.join(prefix, "share/man")), timeout=60)
        self.assertEqual((0, ""), (result.returncode, result.stdout + result.stderr))
        if exposure is None:
            return
        runtime = os.path.join(prefix, "runtime-" + manager)  # a user manager's, which the analysis needs
        os.makedirs(runtime, 0o700, exist_ok=True)
        result = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--" + manager, moved],
                                capture_output=True, text=True, timeout=60,
                                env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        level = re.search(r"Overall exposure level for \S+: ([\d.]+)", result.stdout)
        self.assertTrue(level and float(level.group(1)) <= exposure, result.stdout + result.stderr)
        if "vantorix-info" not in start:
            return
        # As the unit starts it, with its variables, on a port of the
        # system's choosing: the tool takes its command line.
        words = systemd_unit.command(text)
        self.assertIn("127.0.0.1:9198", words, "loopback by default: %s" % words)
        server = subprocess.Popen([word.replace(":9198", ":0") for word in words], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        try:
            first = server.stdout.readline()
        finally:
            server.terminate()
            _, errors = server.communicate(timeout=30)
        self.assertRegex(first, r"serving http://127\.0\.0\.1:\d+/", errors)
        self.assertEqual(0, server.returncode, errors)

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--build", required=True, help="the build tree, installed for the unit check")
    parser.add_argument("--prefix", required=True, help="the configured install prefix")
    parser.add_argument("--data", required=True, help="tests/data/linux")
    parser.add_argument("--module", required=True, help="the folder holding the Python package")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
