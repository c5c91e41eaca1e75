#!/usr/bin/env python3
"""vantorix-info --serve against the stand-in monitor, on loopback: the
endpoints carry the latest reading and follow the monitor as it stops and
comes back; many clients, some leaving mid-response, cost one read per
interval; Ctrl-C and SIGTERM end it with clients connected; a taken port is
refused. A real Prometheus scrapes it, and headless Chromium shows the page."""
import argparse
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

OPTIONS = None
CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"


def program(name):
    return os.path.join(OPTIONS.bin, name)


def wait_for(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out after %g s waiting for %s" % (timeout, what))


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.headers.get("Content-Type"), response.read()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Monitor:
    def __init__(self, *args):
        self.process = subprocess.Popen([program("vantorix-standin"), *args], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wait_for(lambda: subprocess.run([program("vantorix-info")], capture_output=True).returncode == 0, 20,
                 "the stand-in monitor to publish")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


class Server:
    def __init__(self, *args):
        self.process = subprocess.Popen([program("vantorix-info"), "--serve", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline() if ready else ""
        self.url = re.search(r"http://\S+/", line).group(0) if "serving" in line else None

    def json(self):
        return json.loads(get(self.url + "api/readings")[1])

    def metrics(self):
        found = {}
        for family in text_string_to_metric_families(get(self.url + "metrics")[1].decode()):
            for sample in family.samples:
                found[(sample.name, sample.labels.get("core"))] = sample.value
        return found

    def stop(self, number=signal.SIGTERM):
        self.process.send_signal(number)
        try:
            self.process.communicate(timeout=15)
        finally:
            self.process.kill()
            self.process.communicate()
        return self.process.returncode


class ServeTest(unittest.TestCase):
    def setUp(self):
        subprocess.run([program("vantorix-standin"), "--remove"], check=True)
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)

    def serve(self, *args):
        server = Server(*args)
        self.addCleanup(server.stop)
        self.assertIsNotNone(server.url, "the server did not start")
        return server

    def monitor(self, *args):
        monitor = Monitor(*args)
        self.addCleanup(monitor.stop)
        return monitor

    def test_endpoints_follow_the_monitor_as_it_stops_and_comes_back(self):
        monitor = self.monitor("--generation", "10")
        server = self.serve("0", "--interval", "0.2")
        self.assertTrue(server.url.startswith("http://127.0.0.1:"), "loopback unless told otherwise")
        content_type, _ = get(server.url + "metrics")
        self.assertEqual("text/plain; version=0.0.4; charset=utf-8", content_type)
        self.assertEqual((1, 11), (server.metrics()[("vantorix_up", None)], server.metrics()[("vantorix_cores", None)]))
        reading = server.json()
        self.assertEqual(("Stand-in CPU, generation 10", False), (reading["cpu_name"], reading["stale"]))
        self.assertRegex(reading["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIn("text/html", get(server.url)[0])
        with open(CHART_JS, "rb") as chart:
            self.assertEqual(chart.read(), get(server.url + "chart.min.js")[1])
        monitor.stop()
        wait_for(lambda: server.json().get("monitor_running") is False, 10, "the page to say the monitor stopped")
        self.assertEqual(0, server.metrics()[("vantorix_up", None)])
        self.monitor("--generation", "12")
        wait_for(lambda: server.json().get("cpu_name") == "Stand-in CPU, generation 12", 10, "the monitor's return")

    def test_many_clients_cost_one_read_per_interval(self):
        self.monitor("--rate", "20")
        server = self.serve("0", "--interval", "0.5")
        host, port = re.match(r"http://(.*):(\d+)/", server.url).groups()
        answered, failures = [0], []

        def client(number):
            for request in range(300):
                if time.time() > end:
                    return
                try:
                    if request % 10 == 9:  # leave in the middle of a response
                        with socket.create_connection((host, int(port)), timeout=5) as sock:
                            sock.sendall(b"GET /chart.min.js HTTP/1.1\r\nHost: x\r\n\r\n")
                            sock.recv(100)
                            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    else:
                        get(server.url + ("metrics", "api/readings", "")[(number + request) % 3])
                        answered[0] += 1
                except OSError as error:
                    failures.append(error)

        before, start = server.metrics()[("vantorix_reads_total", None)], time.time()
        end = start + 4
        clients = [threading.Thread(target=client, args=(n,)) for n in range(16)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join(timeout=60)
        reads = server.metrics()[("vantorix_reads_total", None)] - before
        elapsed = time.time() - start
        self.assertEqual([], failures[:3])
        self.assertLessEqual(reads, elapsed / 0.5 + 2, "%d requests made %d reads in %.1f s" % (answered[0], reads, elapsed))
        self.assertGreater(answered[0], 10 * reads, "the load was too light to show anything")

    def test_ctrl_c_and_sigterm_end_it_with_clients_connected(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number.name):
                server = self.serve("0")
                host, port = re.match(r"http://(.*):(\d+)/", server.url).groups()
                kept = socket.create_connection((host, int(port)), timeout=5)  # keep-alive, after one request
                kept.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                kept.recv(100)
                silent = socket.create_connection((host, int(port)), timeout=5)  # sends half a request
                silent.sendall(b"GET /metr")
                start = time.time()
                self.assertEqual(0, server.stop(number))
                self.assertLess(time.time() - start, 4, "an open connection held up the end")
                kept.close()
                silent.close()

    def test_a_taken_port_and_bad_addresses_are_refused(self):
        taken = self.serve("0").url.split(":")[-1].rstrip("/")
        second = subprocess.run([program("vantorix-info"), "--serve", "127.0.0.1:" + taken], capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(2, second.returncode)
        self.assertIn("cannot serve 127.0.0.1:" + taken, second.stderr)
        for args in (["65536"], ["host:"], [":80"], ["::1:80"], ["[::1]"], ["80x"], ["0", "--count", "2"]):
            result = subprocess.run([program("vantorix-info"), "--serve", *args], capture_output=True, timeout=30)
            self.assertEqual(3, result.returncode, args)

    def test_prometheus_scrapes_the_temperature_then_the_outage(self):
        monitor = self.monitor("--generation", "4")  # five cores, Celsius, 4.0 + 0.25 per core
        server = self.serve("0")
        port = free_port()
        config = os.path.join(self.scratch.name, "prometheus.yml")
        with open(config, "w") as file:
            file.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                       "scrape_configs: [{job_name: vantorix, static_configs: [{targets: ['%s']}]}]\n"
                       % server.url[len("http://"):-1])
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.scratch.name, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port, "--log.level=error"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(prometheus.wait, 30)
        self.addCleanup(prometheus.terminate)

        def query(expression):
            try:
                answer = json.loads(get("http://127.0.0.1:%d/api/v1/query?query=%s" % (port, expression))[1])
            except OSError:
                return {}
            return {item["metric"].get("core"): float(item["value"][1]) for item in answer["data"]["result"]}

        temperatures = {str(core): 4 + core * 0.25 for core in range(5)}
        wait_for(lambda: query("vantorix_core_temperature_celsius") == temperatures, 60,
                 "Prometheus to scrape the core temperatures")
        monitor.stop()
        wait_for(lambda: query("vantorix_up") == {None: 0}, 30, "Prometheus to scrape vantorix_up 0")

    def test_chromium_shows_the_page_live(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By

        monitor = self.monitor("--synthetic", "--rate", "2")
        server = self.serve("0")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/lib/chromium/chromium"
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--window-size=900,1300", "--user-data-dir=" + os.path.join(self.scratch.name, "profile")):
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.set_page_load_timeout(30)
        browser.get(server.url)

        def text(element_id):
            return browser.find_element(By.ID, element_id).text

        def temperatures():
            return [text("temp-%d" % core) for core in range(4)]

        wait_for(lambda: text("name") == "Stand-in CPU (synthetic readings)", 20, "the processor's name")
        first = wait_for(lambda: browser.find_elements(By.ID, "temp-3") and temperatures(), 10, "a row per core")
        for value in first:
            self.assertRegex(value, r"^\d+\.\d °C$")
        wait_for(lambda: temperatures() != first, 10, "a temperature to change on the next refresh")
        if OPTIONS.screenshot:
            time.sleep(OPTIONS.screenshot_after)
            browser.save_screenshot(OPTIONS.screenshot)
        monitor.stop()
        wait_for(lambda: "not running" in text("status"), 10, "the page to say the monitor is not running")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--screenshot", help="save the live page as this PNG")
    parser.add_argument("--screenshot-after", type=float, default=0, help="seconds of history before it")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
