#!/usr/bin/env python3
"""Tests of vantorix-info --watch in a real terminal (tmux): it draws, waits
for a missing monitor, refreshes in place, and on Ctrl-C exits cleanly and
gives the terminal back (main screen, cursor shown)."""
import argparse
import os
import subprocess
import sys
import time
import unittest

OPTIONS = None
SOCKET = "vantorix-watch-test-%d" % os.getpid()


def tmux(*args):
    return subprocess.run(["tmux", "-L", SOCKET, *args], capture_output=True, text=True, check=True).stdout


def screen():
    return tmux("capture-pane", "-p", "-t", "watch")


def wait_for(predicate, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return False


class WatchInTerminalTest(unittest.TestCase):
    def setUp(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)
        tool = os.path.join(OPTIONS.bin, "vantorix-info")
        # The shell stays after the view ends, so the terminal's state can be
        # read; it ignores Ctrl-C itself, the view installs its own handler.
        tmux("-f", "/dev/null", "new-session", "-d", "-s", "watch", "-x", "120", "-y", "50",
             "sh -c \"trap '' INT; '%s' --watch 0.2; echo view exited with \\$?; sleep 600\"" % tool)
        self.addCleanup(lambda: subprocess.run(["tmux", "-L", SOCKET, "kill-server"],
                                               capture_output=True))

    def test_draws_refreshes_and_exits_cleanly_on_ctrl_c(self):
        self.assertTrue(wait_for(lambda: "monitor not running" in screen()), screen())
        self.assertEqual("1", tmux("display-message", "-p", "-t", "watch", "#{alternate_on}").strip())

        monitor = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), "--rate", "5"],
                                   stdout=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: "Stand-in CPU, generation" in screen()), screen())
            first = screen()
            self.assertIn("Core", first)
            self.assertIn("[", first)  # the bars
            self.assertNotIn("monitor not running", first)  # redrawn in place, not appended
            self.assertTrue(wait_for(lambda: screen() != first), "the view did not refresh")
        finally:
            monitor.terminate()
            monitor.wait()
        self.assertTrue(wait_for(lambda: "monitor not running" in screen()), screen())

        tmux("send-keys", "-t", "watch", "C-c")
        self.assertTrue(wait_for(lambda: "view exited with 0" in screen()), screen())
        state = tmux("display-message", "-p", "-t", "watch", "#{alternate_on} #{cursor_flag}").split()
        self.assertEqual(["0", "1"], state, "alternate screen left, cursor shown")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
