#!/usr/bin/env python3
"""vantorix-bridge under Wine between Linux publishers and Windows readers in
its prefix: the Windows vantorix-info shows what the Linux one shows for each
captured tree, "not running" within two seconds of the publisher's stop or
death (a lock on a file of another filesystem with the region's inode is no
publisher's) and the readings again when one comes back; a region another
user planted under our name is not forwarded; a writer that hangs holding the
Linux mutex over a half-written record is never copied, and Windows readers
then report "not responding" as Linux ones do, and read again once it lets
go; no torn record crosses it from the stand-in publishing a thousand
records a second, nor more than one record per --interval; a second bridge
is refused, and Ctrl-C ends it within a second and withdraws the names, also
while a Windows program keeps the monitor's mutex, as the prefix shutting
down ends it.

Under Wine the Linux /dev/shm is the real one: run as root, the test moves
itself into a private /dev/shm (a mount namespace of its own) first, unless
it runs in a suite's Wine session (VANTORIX_WINE_SESSION, set by ctest and
wine-server.sh run), whose wineserver opens the bridge's files where the
suite runs: there it keeps to that /dev/shm, and refuses to run while a
monitor publishes in it."""
import argparse
import datetime
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import objects
from waiting import wait_until

OPTIONS = None
# In a suite's Wine session (cmake/wine-server.sh.in), whose wineserver stays.
SESSION = bool(os.environ.get("VANTORIX_WINE_SESSION"))
# What differs between the two readers without being a reading: a Windows
# reader cannot tell whether the monitor is alive.
VOLATILE = ("timestamp", "unchanged", "unchanged_seconds", "monitor_alive")
OTHER_USER = "vantorix-hostile"  # the throwaway user of hostile_test.cpp
REGION = objects.REGION % os.geteuid()
MUTEX = objects.MUTEX % os.geteuid()
# Takes the Linux mutex once the publisher has written a new record, writes
# the first half of the record before it over it (what a writer stopped
# halfway leaves), and keeps the mutex until SIGTERM, when it puts the new
# record back and lets go.
HANG = """import fcntl, os, signal, sys, time
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
mutex, region = open(sys.argv[1], "rb"), os.open(sys.argv[2], os.O_RDWR)
fcntl.flock(mutex, fcntl.LOCK_EX)
before = os.pread(region, 2688, 0)
while True:
    fcntl.flock(mutex, fcntl.LOCK_UN)
    os.sched_yield()  # the publisher, waiting for the mutex, takes it
    fcntl.flock(mutex, fcntl.LOCK_EX)
    after = os.pread(region, 2688, 0)
    if after != before:
        break
os.pwrite(region, before[:1344], 0)
print("held", flush=True)
signal.sigwait({signal.SIGTERM})
os.pwrite(region, after, 0)
fcntl.flock(mutex, fcntl.LOCK_UN)
print("released", flush=True)
"""


def windows(program, *args):
    return [OPTIONS.runner, os.path.join(OPTIONS.bin, program + ".exe"), *args]


def linux(program, *args):
    return [os.path.join(OPTIONS.linux_bin, program), *args]


class Logged:
    """A process whose output goes to a file (a wineserver it starts would hold
    pipes open), shown when a test fails."""

    def __init__(self, command):
        self.out = tempfile.TemporaryFile()
        self.command = command
        self.process = subprocess.Popen(command, stdout=self.out, stderr=subprocess.STDOUT)

    def text(self):
        if self.out.closed:
            return self.final
        self.out.seek(0)
        return self.out.read().decode(errors="replace").replace("\r\n", "\n")

    def stop(self, how=signal.SIGTERM, timeout=30):
        if self.process.poll() is None:
            self.process.send_signal(how)
        try:
            return self.process.wait(timeout=timeout)
        finally:
            self.process.kill()
            self.process.wait()
            if not self.out.closed:
                self.final = self.text()
                self.out.close()

    def report(self):
        return "\n--- %s\n%s" % (" ".join(self.command), self.text())


def torn(line):
    """Whether a stand-in's record mixes two generations: its first core's
    load carries the generation of the first half, its name that of the second."""
    return line["ok"] and line["cpu_name"] != "Stand-in CPU, generation %d" % (line["core_load"][0] & 0xFFFFFFFF)


def linux_reading():
    """What the Linux vantorix-info shows, or None before the publisher's first record."""
    result = subprocess.run(linux("vantorix-info", "--json"), capture_output=True, text=True, timeout=30)
    if result.returncode == 1:
        return None
    assert result.returncode == 0, result.stdout + result.stderr
    return {key: value for key, value in json.loads(result.stdout).items() if key not in VOLATILE}


class BridgeTest(unittest.TestCase):
    def setUp(self):
        for program in ("vantorix-standin", "vantorix-publisher", "vantorix-info"):
            if not os.access(os.path.join(OPTIONS.linux_bin, program), os.X_OK):
                self.skipTest("no Linux %s in %s: build the linux preset first" % (program, OPTIONS.linux_bin))
        subprocess.run(linux("vantorix-standin", "--remove"), check=True)
        self.processes = []
        # The prefix's wineserver opens the Linux files for the bridge: run on
        # its own, one started outside this test's /dev/shm must not serve
        # it. A suite's session is never ended under the other tests' feet.
        if not SESSION:
            subprocess.run([OPTIONS.wineserver, "-k"], env=dict(os.environ, WINEPREFIX=OPTIONS.wineprefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(subprocess.run, [OPTIONS.wineserver, "-k"],
                            env=dict(os.environ, WINEPREFIX=OPTIONS.wineprefix),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_all)

    def stop_all(self):
        for process in self.processes:
            process.stop(signal.SIGKILL)
        subprocess.run(linux("vantorix-standin", "--remove"))

    def start(self, command):
        process = Logged(command)
        self.processes.append(process)
        return process

    def fail_with_output(self, message):
        self.fail(message + "".join(process.report() for process in self.processes))

    def windows_lines(self, log, since):
        """The Windows reader's objects stamped at or after `since` (a UTC datetime)."""
        text = log.text()
        complete = text[:text.rfind("\n") + 1]  # not a line still being written
        lines = [json.loads(line) for line in complete.splitlines() if line.startswith("{")]
        stamp = since.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
        return [line for line in lines if line["timestamp"] >= stamp]

    def wait_windows(self, log, since, accept, what, seconds):
        def shown():
            return next((line for line in self.windows_lines(log, since) if accept(line)), None)
        try:
            return wait_until(shown, "the Windows side to show " + what, seconds)
        except AssertionError as error:
            self.fail_with_output(str(error))

    def wait_text(self, process, text, what, seconds=30):
        try:
            wait_until(lambda: text in process.text(), "%s: \"%s\"" % (what, text), seconds, process.process)
        except AssertionError as error:
            self.fail_with_output(str(error))

    def stop_within(self, process, how, seconds):
        """Stops `process` with `how`; fails unless it ends within `seconds`, with status 0."""
        try:
            self.assertEqual(0, process.stop(how, timeout=seconds), process.report())
        except subprocess.TimeoutExpired:
            self.fail_with_output("%s still runs %g s after %s" % (process.command[1], seconds, how.name))

    def test_the_bridge_through_a_publishers_life(self):
        bridge = self.start(windows("vantorix-bridge"))
        reader = self.start(windows("vantorix-info", "--jsonl", "--interval", "0.1"))
        self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: not line["ok"], "its first read", 120)

        trees = sorted(tree for tree in os.listdir(OPTIONS.data) if os.path.isdir(os.path.join(OPTIONS.data, tree)))
        # (the tree the Linux publisher reads, how it ends: SIGKILL leaves its region behind)
        for tree, how in zip(trees, [signal.SIGTERM, signal.SIGKILL] * len(trees)):
            with self.subTest(tree=tree, stop=how.name):
                publisher = self.start(linux("vantorix-publisher", "--root", os.path.join(OPTIONS.data, tree),
                                             "--rate", "4"))
                # Until it publishes, the Linux reader reads the leftover of the publisher killed before.
                self.wait_text(publisher, "publishing", "the publisher")
                deadline = time.time() + 30
                while True:
                    # Its first record holds the loads since boot, the next ones those of
                    # intervals in which the captured counters did not move: the Linux
                    # reading is asked again until the Windows side has shown it.
                    expected, asked = linux_reading(), datetime.datetime.utcnow()
                    def shown_now():
                        shown[:] = [{key: value for key, value in line.items() if key not in VOLATILE}
                                    for line in self.windows_lines(reader, asked)]
                        return expected is None or expected in shown
                    shown = []
                    try:
                        wait_until(shown_now, "the Linux reading on the Windows side", 1)
                    except AssertionError:
                        pass  # asked again, below, until the deadline
                    if expected is not None and expected in shown:
                        break
                    if time.time() > deadline:
                        self.fail_with_output("the Windows side shows %s, Linux %s" % (shown[-1:], expected))
                stopped = datetime.datetime.utcnow()
                publisher.stop(how)
                line = self.wait_windows(reader, stopped, lambda line: not line["ok"], "\"not running\"", 5)
                self.assertEqual((2, False), (line["error"], line["monitor_running"]))
                delay = (datetime.datetime.strptime(line["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ") - stopped)
                self.assertLess(delay.total_seconds(), 2.0, "\"not running\" came late" + bridge.report())
                self.assertEqual(how == signal.SIGKILL, os.path.exists(REGION))
                self.processes.remove(publisher)

        with self.subTest("a lock on another filesystem's file of the region's inode is no publisher's"):
            if os.geteuid() != 0:
                self.skipTest("needs root to mount a filesystem")
            standin = self.start(linux("vantorix-standin", "--rate", "5"))
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the stand-in", 10)
            # A fresh tmpfs numbers its inodes from the start as /dev/shm did:
            # its own file of the region's inode, locked, differs only in the device.
            other = tempfile.mkdtemp()
            subprocess.run(["mount", "-t", "tmpfs", "tmpfs", other], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", other])
            inode = os.stat(REGION).st_ino
            for count in range(100000):
                decoy = os.path.join(other, str(count))
                open(decoy, "w").close()
                if os.stat(decoy).st_ino >= inode:
                    break
            self.assertEqual(inode, os.stat(decoy).st_ino)
            planter = self.start([sys.executable, "-c", "import fcntl, signal, sys\nf = open(sys.argv[1])\n"
                                  "fcntl.flock(f, fcntl.LOCK_EX)\nprint('ready', flush=True)\nsignal.pause()\n",
                                  decoy])
            self.wait_text(planter, "ready", "the decoy lock")
            killed = datetime.datetime.utcnow()
            standin.stop(signal.SIGKILL)
            line = self.wait_windows(reader, killed, lambda line: not line["ok"], "\"not running\"", 5)
            self.assertEqual(2, line["error"])
            planter.stop(signal.SIGKILL)

        with self.subTest("a region another user planted under our name is not forwarded"):
            if os.geteuid() != 0:
                self.skipTest("needs root to act as a second user")
            if subprocess.run(["id", OTHER_USER], capture_output=True).returncode != 0:
                subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", OTHER_USER],
                               check=True)
            region = REGION
            if os.path.exists(region):
                os.unlink(region)  # the killed publisher's leftover
            # Its own file, readable by all, under a lifetime lock as a publisher holds.
            plant = ("import fcntl, signal, sys\nf = open(sys.argv[1], 'wb')\nf.write(bytes(2688))\nf.flush()\n"
                     "fcntl.flock(f, fcntl.LOCK_EX)\nprint('ready', flush=True)\nsignal.pause()  # held until killed\n")
            planter = self.start(["setpriv", "--reuid", OTHER_USER, "--regid", OTHER_USER, "--init-groups", "--",
                                  sys.executable, "-c", plant, region])
            planted = datetime.datetime.utcnow()
            try:
                deadline = time.time() + 10
                while "runs as another user" not in bridge.text():
                    if time.time() > deadline:
                        self.fail_with_output("the bridge did not refuse the planted region")
                    time.sleep(0.1)
                self.assertIn("ready", planter.text())
                self.assertFalse([line for line in self.windows_lines(reader, planted) if line["ok"]])
            finally:
                planter.stop(signal.SIGKILL)
                os.unlink(region)

        standin = self.start(linux("vantorix-standin", "--rate", "1000"))
        with self.subTest("a writer that hangs holding the Linux mutex over a half-written record"):
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the stand-in", 10)
            hang = self.start([sys.executable, "-c", HANG, MUTEX, REGION])
            try:
                self.wait_text(hang, "held", "the hung writer")
                held = datetime.datetime.utcnow()
                linux_info = subprocess.run(linux("vantorix-info", "--json"), capture_output=True, text=True,
                                            timeout=30)
                self.assertEqual(4, linux_info.returncode, linux_info.stdout + linux_info.stderr)
                deadline = time.time() + 30
                while True:
                    info = subprocess.run(windows("vantorix-info", "--json"), capture_output=True, text=True,
                                          timeout=60)
                    # Until the bridge holds the Windows mutex, the last whole record, never the torn one.
                    self.assertIn(info.returncode, (0, 4), info.stdout + info.stderr + hang.report() + bridge.report())
                    if info.returncode == 4:
                        break
                    self.assertFalse(torn(json.loads(info.stdout)), "the bridge copied the torn record")
                    if time.time() > deadline:
                        self.fail_with_output("Windows readers still read 30 s after the Linux mutex was taken")
                different = [key for key in ("ok", "error", "message", "monitor_running", "responding")
                             if json.loads(info.stdout)[key] != json.loads(linux_info.stdout)[key]]
                self.assertFalse(different, "Windows %s, Linux %s" % (info.stdout, linux_info.stdout))
                wrong = [(line["timestamp"], line["cpu_name"] if line["ok"] else line["message"])
                         for line in self.windows_lines(reader, held)
                         if torn(line) or line.get("monitor_running") is False]
                self.assertFalse(wrong, "torn or \"not running\" while the Linux mutex was held" + bridge.report())
            finally:
                released = datetime.datetime.utcnow()
                self.assertEqual(0, hang.stop(signal.SIGTERM), hang.report())
            self.wait_windows(reader, released, lambda line: line["ok"] and not torn(line), "the readings again",
                              10)
            self.processes.remove(hang)

        with self.subTest("no torn record from the stand-in publishing a thousand records a second"):
            if not OPTIONS.hunt_torn_copies:
                self.skipTest("the hunt runs in the x86-64 build")
            # A writer that never pauses leaves no two reads through Wine
            # (tens of microseconds each) that agree: the bridge then forwards
            # nothing, safely, until it pauses. A write every millisecond, far
            # above any monitor's rate, keeps the bridge under constant fire,
            # copying every 20 ms to check many records in little time.
            self.stop_within(bridge, signal.SIGINT, 1)
            bridge = self.start(windows("vantorix-bridge", "--interval", "0.02"))
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the stand-in", 60)
            copies = subprocess.run(windows("vantorix-read-stress", "1000000", "400"), capture_output=True,
                                    text=True, timeout=300)
            self.assertEqual(0, copies.returncode, copies.stdout + copies.stderr + bridge.report())
            print(copies.stdout.strip())
            changes = int(copies.stdout.split()[3])
            self.assertGreaterEqual(changes, 400, "the bridge forwarded too few records: " + copies.stdout)

        with self.subTest("no more than one record per --interval"):
            # From a publisher far faster than the bridge, each copy is a new
            # record: a fast reader sees no more of them than there were copies.
            self.stop_within(bridge, signal.SIGINT, 1)
            interval = 0.5
            bridge = self.start(windows("vantorix-bridge", "--interval", str(interval)))
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the stand-in", 60)
            began = time.time()
            copies = subprocess.run(windows("vantorix-read-stress", "1000000", "8"), capture_output=True, text=True,
                                    timeout=300)
            took = time.time() - began
            self.assertEqual(0, copies.returncode, copies.stdout + copies.stderr + bridge.report())
            self.assertLessEqual(int(copies.stdout.split()[3]), took / interval + 2, copies.stdout +
                                 "in %.1f s, copying every %g s" % (took, interval))

        with self.subTest("one bridge per prefix"):
            second = subprocess.run(windows("vantorix-bridge"), capture_output=True, text=True, timeout=120)
            self.assertEqual(1, second.returncode, second.stdout)
            self.assertIn("another vantorix-bridge runs in this prefix", second.stderr)

        with self.subTest("Ctrl-C ends it within a second, also while a Windows program keeps the mutex"):
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the readings", 60)
            holder = self.start(windows("vantorix-hold-mutex"))
            self.wait_text(holder, "held", "the Windows program keeping the mutex", 60)
            self.wait_text(bridge, "keeps the monitor's mutex", "the bridge waiting for it")
            self.stop_within(bridge, signal.SIGINT, 1)
            self.assertIn("stopped", bridge.text())
            stopped = datetime.datetime.utcnow()
            holder.stop(signal.SIGKILL)
            self.wait_windows(reader, stopped, lambda line: not line["ok"] and not line["monitor_running"],
                              "\"not running\"", 5)

        with self.subTest("the prefix shutting down ends it"):
            bridge = self.start(windows("vantorix-bridge"))
            self.wait_windows(reader, datetime.datetime.utcnow(), lambda line: line["ok"], "the readings", 60)
            subprocess.run([OPTIONS.runner, "wineboot", "--end-session", "--shutdown", "--force", "--kill"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            try:
                bridge.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.fail_with_output("the bridge outlived its prefix")
            if SESSION:
                # The suite's session goes on: its services boot again now,
                # with none of a test's output to hold open (they outlive it).
                subprocess.run([OPTIONS.runner, "cmd.exe", "/c", "exit", "0"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        standin.stop()


def monitor_publishing():
    """Whether a monitor publishes in this /dev/shm (it holds its region's lock)."""
    try:
        with open(REGION, "rb") as region:
            fcntl.flock(region, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        pass
    return False


def private_shm():
    """Re-runs this test in a mount namespace of its own with an empty /dev/shm, where it can."""
    if SESSION and monitor_publishing():
        sys.exit("a monitor publishes in this /dev/shm (%s is locked), where the suite's wineserver opens the "
                 "bridge's files: stop it, or run the suite through scripts/test.sh, which gives it a /dev/shm "
                 "of its own" % REGION)
    if SESSION or os.environ.get("VANTORIX_PRIVATE_SHM") or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        print("no mount namespace here: the test uses the shared /dev/shm")
        return
    os.environ["VANTORIX_PRIVATE_SHM"] = "1"
    script = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"'
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                          sys.executable, *sys.argv])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", required=True, help="the build's wine-run.sh")
    parser.add_argument("--wineprefix", required=True, help="the prefix wine-run.sh uses")
    parser.add_argument("--wineserver", default="/usr/lib/wine/wineserver")
    parser.add_argument("--bin", required=True, help="the Windows build's programs")
    parser.add_argument("--linux-bin", required=True, help="the linux preset's programs")
    parser.add_argument("--data", required=True, help="the captured trees, tests/data/linux")
    parser.add_argument("--hunt-torn-copies", action="store_true",
                        help="read the bridge's copies of a fast publisher many times over for torn ones")
    OPTIONS, rest = parser.parse_known_args()
    private_shm()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
