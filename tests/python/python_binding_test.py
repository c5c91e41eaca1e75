#!/usr/bin/env python3
"""Tests of the Python binding: its layout against the C header, a live read
of the stand-in monitor and of each shared record fixture, the errors raised
when no monitor runs, when none answers and when the library is missing, with
the library's own texts, and whether the monitor lives."""
import argparse
import ctypes
import dataclasses
import errno
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import records
import standin
from waiting import wait_until

OPTIONS = None


def waits_for_a_lock(pid):
    """Whether /proc/locks lists `pid` waiting for an flock ("N: -> FLOCK ... PID ...")."""
    with open("/proc/locks") as locks:
        return any(fields[1:3] == ["->", "FLOCK"] and fields[5] == str(pid)
                   for fields in (line.split() for line in locks))


class PythonBindingTest(unittest.TestCase):
    def test_layout_matches_the_c_header(self):
        out = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-layout")], capture_output=True,
                             text=True, check=True).stdout
        fields = {line.split()[0]: (int(line.split()[1]), int(line.split()[2])) for line in out.splitlines()}
        self.assertEqual(fields.pop("total")[1], getvantorixinfo.ctypes.sizeof(getvantorixinfo.SharedData))
        self.assertEqual(13, len(fields))
        for name, (offset, size) in fields.items():
            descriptor = getattr(getvantorixinfo.SharedData, name)
            self.assertEqual((offset, size), (descriptor.offset, descriptor.size), name)

    def test_no_monitor_raises_with_code_and_message(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)
        with self.assertRaises(getvantorixinfo.VantorixError) as raised:
            getvantorixinfo.read()
        self.assertEqual(errno.ENOENT, raised.exception.code)
        self.assertEqual(os.strerror(errno.ENOENT), raised.exception.message)
        self.assertIn("start vantorix-publisher (systemctl --user start vantorix-publisher)", str(raised.exception))

    def test_error_texts_are_the_librarys(self):
        # The library's own text, through its C++ proxy (Itanium ABI names).
        library = ctypes.CDLL(os.path.join(OPTIONS.library, "libGetVantorixInfo.so.1"), use_errno=True)
        construct, text = library._ZN13VantorixProxyC1Ev, library._ZN13VantorixProxy15GetErrorMessageEv
        construct.argtypes = text.argtypes = [ctypes.c_void_p]
        text.restype = ctypes.c_void_p
        proxy = ctypes.create_string_buffer(4096)  # more than a proxy's size; it owns nothing to destroy
        construct(proxy)
        for code in (errno.ENOENT, errno.EACCES, errno.EPERM, errno.EINVAL, errno.ETIMEDOUT, errno.ELOOP,
                     0x20000000, 0x20000005):
            ctypes.set_errno(code)
            own = ctypes.string_at(text(proxy), 200).decode("utf-16-le").split("\0")[0]  # 100 UTF-16 units
            self.assertEqual(own, getvantorixinfo._message(code), hex(code))

    def standin(self, *args):
        return standin.start(self, OPTIONS.bin, *args)

    def test_a_held_mutex_ends_the_wait_at_the_timeout_or_at_ctrl_c(self):
        self.standin("--hold")
        def not_responding():  # once the stand-in holds its mutex
            try:
                getvantorixinfo.read(timeout=0.2)
            except getvantorixinfo.VantorixNotResponding as error:
                return error
        error = wait_until(not_responding, "the stand-in to hold its mutex")
        self.assertEqual((errno.ETIMEDOUT, True), (error.code, error.monitor_running))
        with self.assertRaises(getvantorixinfo.VantorixNotResponding):
            getvantorixinfo.read(timeout=0.5)
        # A read without a deadline still ends at Ctrl-C once it waits for the mutex.
        waiting = subprocess.Popen(
            [sys.executable, "-c", "import getvantorixinfo\ntry:\n    getvantorixinfo.read(timeout=None)\n"
             "except KeyboardInterrupt:\n    print('interrupted')"],
            env=dict(os.environ, PYTHONPATH=OPTIONS.module), stdout=subprocess.PIPE, text=True)
        self.addCleanup(waiting.kill)
        wait_until(lambda: waits_for_a_lock(waiting.pid), "the reader to wait for the mutex", process=waiting)
        waiting.send_signal(signal.SIGINT)
        out, _ = waiting.communicate(timeout=10)  # a hang, not a slow machine, reaches this
        self.assertEqual(("interrupted\n", 0), (out, waiting.returncode))

    def test_snapshot_says_whether_the_monitor_lives(self):
        monitor = self.standin("--generation", "5")
        self.assertIs(True, getvantorixinfo.read().monitor_alive)
        monitor.kill()  # its region stays, its lifetime lock goes
        monitor.wait()
        self.assertIs(False, getvantorixinfo.read().monitor_alive)
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)

    def test_missing_library_raises_vantorix_error_with_hint(self):
        script = ("import getvantorixinfo\ntry:\n    getvantorixinfo.read()\nexcept getvantorixinfo.VantorixError as e:\n"
                  "    print(e.monitor_running, e.hint)")
        env = dict(os.environ, PYTHONPATH=OPTIONS.module, VANTORIX_LIBRARY_DIR="/nonexistent", LD_LIBRARY_PATH="")
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
        if "VANTORIX_LIBRARY_DIR" not in out.stdout and os.path.exists("/usr/lib/x86_64-linux-gnu/libGetVantorixInfo.so.1"):
            self.skipTest("the .deb's library is installed system-wide")
        self.assertEqual("None install the getvantorixinfo .deb, or name the library's folder in VANTORIX_LIBRARY_DIR\n",
                         out.stdout, out.stderr)

    def test_name_is_read_as_8_bit_characters(self):
        record = bytearray(2688)
        record[1536:1540] = (1).to_bytes(4, "little")
        name = b"Caf\xe9 CPU\xae \x80"
        record[2584:2584 + len(name)] = name
        with tempfile.NamedTemporaryFile(suffix=".record") as file:
            file.write(record)
            file.flush()
            monitor = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), "--record", file.name],
                                       stdout=subprocess.PIPE)
            try:
                self.assertEqual(b"ready\n", monitor.stdout.readline())
                self.assertEqual("Caf\u00e9 CPU\u00ae \u0080", getvantorixinfo.read().cpu_name)
            finally:
                monitor.terminate()
                monitor.wait()
                monitor.stdout.close()

    def test_reads_each_record_fixture_as_expected(self):
        for name, path, expected in records.fixtures():
            self.doCleanups()  # the previous fixture's monitor
            with self.subTest(name):
                self.addCleanup(subprocess.run, [os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)
                self.standin("--record", path)
                self.assertEqual(expected["binding"], dataclasses.asdict(getvantorixinfo.read()))

    def test_reads_the_published_record(self):
        monitor = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), "--generation", "77"],
                                   stdout=subprocess.DEVNULL)
        try:
            deadline = time.time() + 20
            while True:
                try:
                    snapshot = getvantorixinfo.read()
                    break
                except getvantorixinfo.VantorixError:
                    self.assertLess(time.time(), deadline)
                    time.sleep(0.05)
        finally:
            monitor.terminate()
            monitor.wait()
        self.assertEqual("Stand-in CPU, generation 77", snapshot.cpu_name)
        self.assertEqual(1 + 77 % 256, snapshot.core_total)
        self.assertEqual(1 + 77 % 4, snapshot.cpu_total)
        self.assertEqual(snapshot.core_total, len(snapshot.core_load))
        self.assertEqual(snapshot.core_total, len(snapshot.temp))
        self.assertEqual(77, snapshot.core_load[0])
        self.assertEqual(77.25, snapshot.temp[1])
        self.assertEqual(77, snapshot.tj_max[0])
        self.assertEqual(1000.0 + 77, snapshot.cpu_clock)
        self.assertTrue(snapshot.fahrenheit)
        self.assertFalse(snapshot.distance_to_tj_max)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--module", required=True, help="folder of getvantorixinfo.py")
    parser.add_argument("--library", required=True, help="folder of the built library")
    OPTIONS, rest = parser.parse_known_args()
    os.environ["VANTORIX_LIBRARY_DIR"] = OPTIONS.library
    sys.path.insert(0, OPTIONS.module)
    import getvantorixinfo  # noqa: E402
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
