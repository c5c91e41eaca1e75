#!/usr/bin/env python3
"""Tests of vantorix-info's --prometheus and --jsonl output and its report of
an unchanged record: the exposition parses (with prometheus_client's parser)
and carries the published values; the README's --textfile line replaces the
page during an outage, and --prometheus fails on a page it could not write; a record that
stops changing is noted only when asked (--unchanged-after), and the note
clears when the monitor publishes again."""
import argparse
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from prometheus_client.parser import text_string_to_metric_families
from waiting import wait_until

OPTIONS = None


def tool(*args):
    return subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), *args], capture_output=True,
                          text=True, timeout=120)


class Monitor:
    def __init__(self, *args):
        self.process = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-standin"), *args],
                                        stdout=subprocess.DEVNULL)
        wait_until(lambda: tool("--json").returncode == 0, "the stand-in monitor to publish", process=self.process)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def f32(value):
    """The single-precision float nearest to `value`."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def shortest(value):
    """The shortest text that reads back as the float `value`."""
    return next(t for t in ("%.*g" % (p, value) for p in range(1, 10)) if f32(float(t)) == value)


def digits(text):
    """The number of significant digits written in `text`."""
    return len(re.sub(r"^[-+0.]+|e.*$", "", text).replace(".", "").rstrip("0")) or 1


def texts(page):
    """Each sample's value as written: (name, core) -> text."""
    return {(m.group(1), m.group(2)): m.group(3)
            for m in re.finditer(r'^(\w+)\{[^}]*?(?:core="(\d+)")?\} (\S+)$', page, re.M)}


def samples(text):
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, sample.labels.get("core"))] = (sample.value, sample.labels)
    return found


class MetricsTest(unittest.TestCase):
    def setUp(self):
        subprocess.run([os.path.join(OPTIONS.bin, "vantorix-standin"), "--remove"], check=True)

    def test_prometheus_output_is_the_record_in_base_units(self):
        # The stand-in's pattern: generation bit 0 is Fahrenheit, bit 1 distance-to-TjMax mode.
        for generation in (10, 9, 11, 12):
            with self.subTest(generation=generation):
                monitor = Monitor("--generation", str(generation))
                try:
                    result, json_text = tool("--prometheus"), tool("--json").stdout
                finally:
                    monitor.stop()
                self.assertEqual(0, result.returncode, result.stderr)
                self.check_pattern(generation, samples(result.stdout), texts(result.stdout), json_text)

    def check_pattern(self, g, found, text, json_text):
        fahrenheit, distance = g & 1, g >> 1 & 1
        cpu = "Stand-in CPU, generation %d" % g
        cores = 1 + g % 256
        self.assertEqual((1, 0, 1), tuple(found[(name, None)][0] for name in
                                          ("vantorix_up", "vantorix_record_unchanged", "vantorix_monitor_alive")))
        self.assertEqual((cores, {"cpu": cpu}), found[("vantorix_cores", None)])
        self.assertEqual(1 + g % 4, found[("vantorix_processors", None)][0])
        expected = {
            ("vantorix_cpu_clock_hertz", None): f32((1000 + g % 4000) * 1e6),
            ("vantorix_bus_clock_hertz", None): f32((100 + g % 64) * 1e6),
            ("vantorix_clock_multiplier_ratio", None): 8 + g % 40,
            ("vantorix_vid_volts", None): f32(1 + (g % 1000) / 1024),
        }
        temperature = "vantorix_core_temperature_" + ("below_tjmax_celsius" if distance else "celsius")
        for core in range(cores):
            load = (g + core * 0x01000193 + 2**31) % 2**32 - 2**31
            expected["vantorix_core_load_ratio", str(core)] = f32(load / 100)
            temp = f32(g % 100000 + core * 0.25)
            if fahrenheit:  # a distance has no offset between the scales
                temp = f32(temp * 5 / 9 if distance else (temp - 32) * 5 / 9)
            expected[temperature, str(core)] = temp
            tj_max = g ^ core << 20
            expected["vantorix_core_tjmax_celsius", str(core)] = f32((tj_max - 32) * 5 / 9) if fahrenheit else tj_max
        self.assertNotIn(("vantorix_core_load_ratio", str(cores)), found)
        for key, value in expected.items():
            self.assertEqual(value, f32(found[key][0]) if isinstance(value, float) else found[key][0], key)
            # Float noise (59.9000015) is a sign of a value printed with more digits than it has.
            self.assertLessEqual(digits(text[key]), digits(shortest(value)), (key, text[key]))
        # Readings that need no conversion are printed as JSON prints them.
        self.assertEqual(re.search(r'"vid_value":([^,]+)', json_text).group(1), text["vantorix_vid_volts", None])
        if not fahrenheit:
            self.assertEqual(re.search(r'"temp":\[([^,\]]+)', json_text).group(1), text[temperature, "0"])

    def test_textfile_replaces_the_page_during_an_outage(self):
        # The --textfile line of docs/metrics.md, for one read.
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        folder = scratch.name
        page = os.path.join(folder, "vantorix.prom")
        recipe = [os.path.join(OPTIONS.bin, "vantorix-info"), "--textfile", page, "--count", "1"]
        monitor = Monitor("--generation", "10")
        try:
            subprocess.run(recipe, check=True, stdout=subprocess.DEVNULL, timeout=120)
        finally:
            monitor.stop()
        with open(page) as file:
            self.assertEqual(1, samples(file.read())[("vantorix_up", None)][0])
        self.assertEqual(1, self.scraped_by_node_exporter(folder)[("vantorix_up", None)][0])
        self.assertEqual(0, subprocess.run(recipe, stdout=subprocess.DEVNULL, timeout=120).returncode)
        with open(page) as file:
            found = samples(file.read())
        self.assertEqual((0, 1, 0), tuple(found[(name, None)][0] for name in
                                          ("vantorix_up", "vantorix_responding", "vantorix_record_unchanged")))
        self.assertNotIn(("vantorix_cores", None), found, "readings of the last monitor left in the page")
        self.assertEqual([os.path.basename(page)], os.listdir(folder))
        # A page that cannot be written whole fails, so a `> file.$$ && mv` keeps the old one.
        with open("/dev/full", "w") as full:
            failed = subprocess.run([os.path.join(OPTIONS.bin, "vantorix-info"), "--prometheus"], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual(2, failed.returncode)
        self.assertIn("cannot write the metrics", failed.stderr)

    def scraped_by_node_exporter(self, folder):
        """What Debian's node exporter serves from the textfile folder `folder`, after
        checking that the --textfile line of docs/metrics.md writes to the folder it reads by default."""
        default = re.search(r'--collector\.textfile\.directory="([^"]+)"', subprocess.run(
            ["prometheus-node-exporter", "--help"], capture_output=True, text=True).stdout).group(1)
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "metrics.md")) as page:
            recipe = re.search(r"^    vantorix-info --textfile (\S+)/vantorix\.prom --interval", page.read(), re.M).group(1)
        self.assertEqual(default, recipe, "docs/metrics.md's --textfile line")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
                                     "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + folder],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            deadline = time.time() + 30
            while True:
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as response:
                        return samples(response.read().decode())
                except OSError:
                    if time.time() > deadline or exporter.poll() is not None:
                        exporter.kill()
                        self.fail("the node exporter did not answer: " + exporter.communicate()[0])
                    time.sleep(0.1)
        finally:
            exporter.terminate()
            exporter.communicate(timeout=30)

    def test_an_unchanged_record_is_noted_only_when_asked_and_clears(self):
        # An idle machine's record stays the same: by default that is only measured.
        for monitor, asked, noted in ((("--generation", "5"), (), 0), (("--generation", "5"), ("--unchanged-after", "1"), 1),
                                      (("--rate", "20"), ("--unchanged-after", "1"), 0)):
            running = Monitor(*monitor)
            try:
                result = tool("--prometheus", "--count", "6", "--interval", "0.25", *asked)
            finally:
                running.stop()
            found = samples(result.stdout)
            self.assertEqual(noted, found[("vantorix_record_unchanged", None)][0], (monitor, asked))
            unchanged = found[("vantorix_record_unchanged_seconds", None)][0]
            self.assertTrue(unchanged >= 1 if monitor[0] == "--generation" else unchanged < 1, (monitor, unchanged))

        # No record, nothing unchanged: reads that fail say nothing about how
        # long a record stayed the same, however long they fail.
        result = tool("--prometheus", "--count", "6", "--interval", "0.25", "--unchanged-after", "1")
        unchanged = {name: value for (name, _), (value, _) in samples(result.stdout).items()
                     if "unchanged" in name}
        self.assertTrue(unchanged, result.stdout)
        self.assertEqual({name: 0 for name in unchanged}, unchanged)

    def test_jsonl_logs_timestamps_and_an_unchanged_record_that_clears(self):
        out = tempfile.TemporaryFile()
        logger = subprocess.Popen([os.path.join(OPTIONS.bin, "vantorix-info"), "--jsonl", "--interval", "0.2",
                                   "--unchanged-after", "1"], stdout=out)

        def lines():
            out.seek(0)
            return [json.loads(line) for line in out.read().decode().splitlines(keepends=True) if line.endswith("\n")]

        def noted():
            return next((i for i, line in enumerate(lines()) if line.get("unchanged")), None)

        # Each step waits for what the logger wrote, not for a fixed pause.
        frozen = Monitor("--generation", "5")
        wait_until(lambda: noted() is not None, "the frozen record noted as unchanged", process=logger)
        frozen.stop()
        live = Monitor("--rate", "20")
        try:
            wait_until(lambda: any(line["ok"] and not line.get("unchanged") for line in lines()[noted():]),
                       "the note cleared", process=logger)
        finally:
            live.stop()
        logger.send_signal(signal.SIGINT)
        self.assertEqual(0, logger.wait(timeout=60))
        for line in lines():
            self.assertRegex(line["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
