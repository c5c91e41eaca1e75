#!/usr/bin/env python3
"""Readings the monitor did not report (0, except a temperature in
distance-to-TjMax mode) are "n/a" in the table, null in JSON, absent from
the metrics and None in Python, and real ones are shown, JSON and Python
giving the same shortest decimal: on this machine's live source, whose
record is read straight from the region, and on a synthetic record."""
import argparse
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

import objects
from waiting import wait_until

from prometheus_client.parser import text_string_to_metric_families

LAYOUT = struct.Struct("<256i128iii256f4f100sBB2s")
REGION = objects.REGION % os.geteuid()
SCALARS = {  # field: (index in LAYOUT, the table's label, the metric and its unit in the record's, the source's word)
    "vid_value": (642, "VID", ("vantorix_vid_volts", 1), "VID"),
    "cpu_clock": (643, "Clock", ("vantorix_cpu_clock_hertz", 1e6), "CPU clock"),
    "fsb_clock": (644, "Bus", ("vantorix_bus_clock_hertz", 1e6), "bus clock"),
    "clock_multiplier": (645, "Multiplier", ("vantorix_clock_multiplier_ratio", 1), "multiplier"),
}
REAL = object()  # expected: some reading, whatever its value
OPTIONS = None
getvantorixinfo = None  # the Python package, when the build can load it


def tool(*args):
    result = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), *args], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def outputs():
    """What the table, JSON, metrics and Python show: each reading, or None when not reported."""
    table, got = tool(), json.loads(tool("--json"))
    # Python loads the library itself, which a sanitizer's build cannot give it: there JSON stands in.
    snapshot = getvantorixinfo.read() if getvantorixinfo else None
    python = lambda field, core=None: (getattr(snapshot, field) if core is None else getattr(snapshot, field)[core]
                                       ) if snapshot else (got[field] if core is None else got[field][core])
    shown = {field: re.search(label + r":\s+(\S+)", table).group(1) for field, (_, label, _, _) in SCALARS.items()}
    rows = [line.split() for line in table.splitlines() if re.match(r"^\s+\d+\s", line)]
    samples = {}
    for family in text_string_to_metric_families(tool("--prometheus")):
        for sample in family.samples:
            samples[(sample.name, sample.labels.get("core"))] = sample.value
    temp_metric = ("vantorix_core_temperature_below_tjmax_celsius" if got["distance_to_tj_max"]
                   else "vantorix_core_temperature_celsius")
    result = {}
    for field, (_, _, (metric, scale), _) in SCALARS.items():
        sample = samples.get((metric, None))
        result[field] = (shown[field], got[field], None if sample is None else sample / scale, python(field))
    for core, row in enumerate(rows):
        result["temp", core] = (row[1], got["temp"][core], samples.get((temp_metric, str(core))), python("temp", core))
        result["tj_max", core] = (row[-1], got["tj_max"][core], samples.get(("vantorix_core_tjmax_celsius", str(core))),
                                  python("tj_max", core))
    return result


class Monitor:
    def __init__(self, *args):
        self.process = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), *args],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wait_until(lambda: subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info")], capture_output=True)
                   .returncode == 0, "the stand-in monitor to publish", process=self.process)

    def stop(self):
        self.process.terminate()
        return self.process.communicate(timeout=30)[1]


class NotReportedTest(unittest.TestCase):
    def setUp(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)

    def assertShown(self, reading, expected, what):
        table, in_json, sample, in_python = reading
        if expected is None:
            self.assertEqual(("n/a", None, None, None), reading, what)
        elif expected is REAL:
            self.assertTrue(re.match(r"^-?\d", table) and None not in (in_json, sample, in_python), (what, reading))
        else:
            self.assertNotEqual("n/a", table, what)
            self.assertAlmostEqual(float(table), expected, delta=0.05, msg=what)
            self.assertEqual((expected, expected), (in_json, in_python), what)  # 67.7, not 67.69999694824219
            self.assertAlmostEqual(sample, expected, places=3, msg=what)

    def test_live_source_shows_what_this_machine_lacks_as_missing(self):
        monitor = Monitor("--live")
        try:
            with open(REGION, "rb") as region:
                record = LAYOUT.unpack(region.read(LAYOUT.size))
            shown = outputs()
        finally:
            named = monitor.stop()
        # The live record changes with every publish, its missing readings do not.
        for field, (index, _, _, word) in SCALARS.items():
            if record[index] == 0:
                self.assertIn(word, named, "the live source did not name what it lacks")
            self.assertShown(shown[field], REAL if record[index] else None, field)
        cores = record[384]
        self.assertIn(("temp", cores - 1), shown, "one row per core")
        for core in range(min(cores, 128)):
            self.assertShown(shown["temp", core], REAL if record[386 + core] else None, "temperature %d" % core)
            self.assertShown(shown["tj_max", core], REAL if record[256 + core] else None, "TjMax %d" % core)

    def test_zero_is_a_temperature_only_in_distance_to_tjmax_mode(self):
        for distance in (1, 0):
            with self.subTest(distance_to_tj_max=distance):
                values = [5, 7, 9] + [0] * 253 + [100, 0, 95] + [0] * 125 + [3, 1]
                values += [0.0, 0.0, 67.7] + [0.0] * 253 + [0.0, 3200.1, 0.0, 0.0]  # VID, clock, bus, multiplier
                values += [b"Synthetic CPU".ljust(100, b"\0"), 0, distance, b"\0\0"]
                with tempfile.NamedTemporaryFile(suffix=".record") as record:
                    record.write(LAYOUT.pack(*values))
                    record.flush()
                    monitor = Monitor("--record", record.name)
                    try:
                        shown = outputs()
                    finally:
                        monitor.stop()
                zero = 0.0 if distance else None
                for core, (temp, tj_max) in enumerate([(zero, 100), (zero, None), (67.7, 95)]):
                    self.assertShown(shown["temp", core], temp, "temperature of core %d" % core)
                    self.assertShown(shown["tj_max", core], tj_max, "TjMax of core %d" % core)
                for field in SCALARS:
                    self.assertShown(shown[field], 3200.1 if field == "cpu_clock" else None, field)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--module", help="folder of the Python package, to check it too")
    parser.add_argument("--library", help="folder of the built library, for the Python package")
    OPTIONS, rest = parser.parse_known_args()
    if OPTIONS.module:
        os.environ["VANTORIX_LIBRARY_DIR"] = OPTIONS.library
        sys.path.insert(0, OPTIONS.module)
        import getvantorixinfo  # noqa: E402
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
