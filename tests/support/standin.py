"""The stand-in monitor for one test: returned once its record is out, and
killed and waited for when the test ends."""
import os
import subprocess


def start(test, folder, *args):
    """vantorix-standin from `folder`, with `args`, for the unittest `test`."""
    monitor = subprocess.Popen([os.path.join(folder, "vantorix-standin"), *args], stdout=subprocess.PIPE)
    test.addCleanup(monitor.stdout.close)
    test.addCleanup(monitor.wait)
    test.addCleanup(monitor.kill)
    test.assertEqual(b"ready\n", monitor.stdout.readline())
    return monitor
