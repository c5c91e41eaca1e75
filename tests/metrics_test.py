#!/usr/bin/env python3
"""Tests of vantorix-info's --prometheus and --jsonl output and its staleness
report: the exposition parses (with prometheus_client's parser) and carries
the published values; the textfile recipe replaces the page during an outage
and never installs a page it could not write; a record that stops changing
is reported stale, and the report clears when the monitor publishes again."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

OPTIONS = None


def tool(*args):
    return subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), *args], capture_output=True,
                          text=True, timeout=120)


class Monitor:
    def __init__(self, *args):
        self.process = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), *args],
                                        stdout=subprocess.DEVNULL)
        deadline = time.time() + 20
        while tool("--json").returncode != 0:
            assert time.time() < deadline, "the stand-in monitor did not publish"
            time.sleep(0.05)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def samples(text):
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, sample.labels.get("core"))] = (sample.value, sample.labels)
    return found


class MetricsTest(unittest.TestCase):
    def setUp(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)

    def test_prometheus_output_parses_and_equals_the_record(self):
        monitor = Monitor("--generation", "10")  # 11 cores, Fahrenheit off, distance mode on
        try:
            result = tool("--prometheus")
        finally:
            monitor.stop()
        self.assertEqual(0, result.returncode, result.stderr)
        found = samples(result.stdout)
        cpu = "Stand-in CPU, generation 10"
        self.assertEqual(1, found[("vantorix_up", None)][0])
        self.assertEqual(0, found[("vantorix_stale", None)][0])
        self.assertEqual((11, {"cpu": cpu}), found[("vantorix_cores", None)])
        self.assertEqual(3, found[("vantorix_processors", None)][0])
        self.assertEqual(1010, found[("vantorix_cpu_clock_megahertz", None)][0])
        self.assertEqual(110, found[("vantorix_bus_clock_megahertz", None)][0])
        self.assertEqual(18, found[("vantorix_clock_multiplier_ratio", None)][0])
        for core in range(11):
            self.assertEqual(10 + core * 0x01000193 - (2**32 if 10 + core * 0x01000193 >= 2**31 else 0),
                             found[("vantorix_core_load_percent", str(core))][0])
            self.assertEqual(10 + core * 0.25,
                             found[("vantorix_core_temperature_below_tjmax_celsius", str(core))][0])
            self.assertEqual(10 ^ (core << 20), found[("vantorix_core_tjmax_celsius", str(core))][0])
        self.assertNotIn(("vantorix_core_load_percent", "11"), found)

    def test_textfile_recipe_replaces_the_page_during_an_outage(self):
        # The README's recipe, run by a shell as cron would.
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        folder = scratch.name
        page = os.path.join(folder, "vantorix.prom")
        recipe = ('"$0" --prometheus > "$1.$$" && mv "$1.$$" "$1"', os.path.join(OPTIONS.bin, "vantorix-info"), page)
        monitor = Monitor("--generation", "10")
        try:
            subprocess.run(["sh", "-c", *recipe], check=True, timeout=120)
        finally:
            monitor.stop()
        with open(page) as file:
            self.assertEqual(1, samples(file.read())[("vantorix_up", None)][0])
        self.assertEqual(0, subprocess.run(["sh", "-c", *recipe], timeout=120).returncode)
        with open(page) as file:
            found = samples(file.read())
        self.assertEqual((0, 0), (found[("vantorix_up", None)][0], found[("vantorix_stale", None)][0]))
        self.assertNotIn(("vantorix_cores", None), found, "readings of the last monitor left in the page")
        self.assertEqual([os.path.basename(page)], os.listdir(folder))
        # A page that cannot be written whole fails, so `&& mv` keeps the old one.
        with open("/dev/full", "w") as full:
            failed = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), "--prometheus"], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual(2, failed.returncode)
        self.assertIn("cannot write the metrics", failed.stderr)

    def test_staleness_is_reported_and_clears(self):
        frozen = Monitor("--generation", "5")
        try:
            result = tool("--prometheus", "--count", "6", "--interval", "0.25", "--stale-after", "1")
        finally:
            frozen.stop()
        found = samples(result.stdout)
        self.assertEqual(1, found[("vantorix_stale", None)][0])
        self.assertGreaterEqual(found[("vantorix_record_unchanged_seconds", None)][0], 1)

        live = Monitor("--rate", "20")
        try:
            result = tool("--prometheus", "--count", "6", "--interval", "0.25", "--stale-after", "1")
        finally:
            live.stop()
        self.assertEqual(0, samples(result.stdout)[("vantorix_stale", None)][0])

        # No record, no staleness: reads that fail say nothing about how long
        # a record stayed the same, however long they fail.
        result = tool("--prometheus", "--count", "6", "--interval", "0.25", "--stale-after", "1")
        staleness = {name: value for (name, _), (value, _) in samples(result.stdout).items()
                     if "stale" in name or "unchanged" in name}
        self.assertTrue(staleness, result.stdout)
        self.assertEqual({name: 0 for name in staleness}, staleness)

    def test_jsonl_logs_timestamps_and_staleness_that_clears(self):
        out = tempfile.TemporaryFile()
        logger = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-info"), "--jsonl", "--interval", "0.2",
                                   "--stale-after", "1", "--count", "40"], stdout=out)
        frozen = Monitor("--generation", "5")
        time.sleep(2.5)
        frozen.stop()
        live = Monitor("--rate", "20")
        try:
            logger.wait(timeout=60)
        finally:
            live.stop()
        out.seek(0)
        lines = [json.loads(line) for line in out.read().decode().splitlines()]
        self.assertEqual(40, len(lines))
        for line in lines:
            self.assertRegex(line["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        stale = [i for i, line in enumerate(lines) if line.get("stale")]
        self.assertTrue(stale, "the frozen record was never reported stale")
        self.assertFalse(lines[-1]["stale"], "staleness did not clear")
        self.assertTrue(lines[-1]["ok"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
