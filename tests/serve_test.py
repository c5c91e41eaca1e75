#!/usr/bin/env python3
"""vantorix-info --serve against the stand-in monitor, on loopback: the
endpoints follow the monitor as it stops and comes back; many clients, some
leaving mid-response, cost one read per interval; Ctrl-C and SIGTERM end it
with connections open; a taken port is refused. A real Prometheus scrapes it,
and headless Chromium shows the page."""
import argparse
import json
import os
import re
import select
import shutil
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


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.headers.get("Content-Type"), response.read()


def script_sources(url):
    """The sources a page from `url` may run script from, by its
    Content-Security-Policy header: each script directive's list, and
    default-src's where there is no script-src."""
    with urllib.request.urlopen(url, timeout=10) as response:
        policies = response.headers.get_all("Content-Security-Policy") or []
    lists = []
    for policy in policies:
        directives = {}
        for directive in policy.split(";"):
            words = directive.split()
            if words:
                directives.setdefault(words[0].lower(), [word.lower() for word in words[1:]])
        lists.append(directives.get("script-src", directives.get("default-src")))
        lists += [directives[name] for name in ("script-src-elem", "script-src-attr") if name in directives]
    return lists


class Server:
    def __init__(self, *args):
        self.process = subprocess.Popen([program("vantorix-info"), "--serve", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        ready = select.select([self.process.stdout], [], [], 20)[0]
        found = re.search(r"serving (http://(.*):(\d+)/)", self.process.stdout.readline() if ready else "")
        if not found:
            self.process.kill()
            raise AssertionError("the server did not start: " + self.process.communicate()[1])
        self.url, self.host, self.port = found.group(1), found.group(2), int(found.group(3))

    def json(self):
        return json.loads(get(self.url + "api/readings")[1])

    def metric(self, name):
        for family in text_string_to_metric_families(get(self.url + "metrics")[1].decode()):
            for sample in family.samples:
                if sample.name == name:
                    return sample.value
        return None

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
        self.scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def serve(self, *args):
        server = Server(*args)
        self.addCleanup(server.stop)
        return server

    def monitor(self, *args):
        monitor = subprocess.Popen([program("vantorix-standin"), *args], stdout=subprocess.DEVNULL)
        self.addCleanup(monitor.wait, 30)
        self.addCleanup(monitor.terminate)
        wait_for(lambda: subprocess.run([program("vantorix-info")], capture_output=True).returncode == 0, 20,
                 "the stand-in monitor to publish")
        return monitor

    def test_endpoints_follow_the_monitor_as_it_stops_and_comes_back(self):
        monitor = self.monitor("--generation", "10")
        server = self.serve("0", "--interval", "0.2")
        self.assertEqual("127.0.0.1", server.host, "loopback unless told otherwise")
        self.assertEqual("text/plain; version=0.0.4; charset=utf-8", get(server.url + "metrics")[0])
        self.assertEqual((1, 11), (server.metric("vantorix_up"), server.metric("vantorix_cores")))
        reading = server.json()
        self.assertEqual(("Stand-in CPU, generation 10", False), (reading["cpu_name"], reading["stale"]))
        self.assertRegex(reading["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIn("text/html", get(server.url)[0])
        # Every response allows script from the server's own files alone: no
        # inline script, eval or other origins, whatever else the policy says.
        for path in ("", "metrics", "api/readings", "chart.min.js"):
            allowed = script_sources(server.url + path)
            self.assertTrue(allowed and None not in allowed, (path, allowed))
            self.assertEqual({"'self'"}, set(sum(allowed, [])), path)
        with open("/usr/share/javascript/chart.js/chart.min.js", "rb") as chart:
            self.assertEqual(chart.read(), get(server.url + "chart.min.js")[1])
        monitor.terminate()
        wait_for(lambda: server.json().get("monitor_running") is False, 10, "the page to say the monitor stopped")
        self.assertEqual(0, server.metric("vantorix_up"))
        self.monitor("--generation", "12")
        wait_for(lambda: server.json().get("cpu_name") == "Stand-in CPU, generation 12", 10, "the monitor's return")

    def test_many_clients_cost_one_read_per_interval(self):
        self.monitor("--rate", "20")
        server = self.serve("0", "--interval", "0.5")
        answered, failures, end = [0], [], time.time() + 4

        def client(number):
            for request in range(300):  # bounded, and for 4 s at most
                if time.time() > end:
                    return
                try:
                    if request % 10 == 9:  # leave in the middle of a response
                        with socket.create_connection((server.host, server.port), timeout=5) as sock:
                            sock.sendall(b"GET /chart.min.js HTTP/1.1\r\nHost: x\r\n\r\n")
                            sock.recv(100)
                            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    else:
                        get(server.url + ("metrics", "api/readings", "")[(number + request) % 3])
                        answered[0] += 1
                except OSError as error:
                    failures.append(error)

        before, start = server.metric("vantorix_reads_total"), time.time()
        clients = [threading.Thread(target=client, args=(n,)) for n in range(16)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join(timeout=60)
        reads, elapsed = server.metric("vantorix_reads_total") - before, time.time() - start
        self.assertEqual([], failures[:3])
        self.assertLessEqual(reads, elapsed / 0.5 + 2, "%d requests, %d reads in %.1f s" % (answered[0], reads, elapsed))
        self.assertGreater(answered[0], 10 * reads, "the load was too light to show anything")

    def test_ctrl_c_and_sigterm_end_it_with_connections_open(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            server = self.serve("0")
            kept = socket.create_connection((server.host, server.port), timeout=5)  # idle after one request
            kept.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            kept.recv(100)
            silent = socket.create_connection((server.host, server.port), timeout=5)  # half a request
            silent.sendall(b"GET /metr")
            start = time.time()
            self.assertEqual(0, server.stop(number), number)
            self.assertLess(time.time() - start, 4, "an open connection held up the end")
            kept.close()
            silent.close()

    def test_a_taken_port_and_bad_addresses_are_refused(self):
        taken = "127.0.0.1:%d" % self.serve("0").port
        second = subprocess.run([program("vantorix-info"), "--serve", taken], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual((2, True), (second.returncode, "cannot serve " + taken in second.stderr))
        for args in (["65536"], ["host:"], [":80"], ["::1:80"], ["[::1]"], ["80x"], ["0", "--count", "2"]):
            result = subprocess.run([program("vantorix-info"), "--serve", *args], capture_output=True, timeout=30)
            self.assertEqual(3, result.returncode, args)

    def test_prometheus_scrapes_the_temperature_then_the_outage(self):
        monitor = self.monitor("--generation", "4")  # five cores, Celsius, 4.0 + 0.25 per core
        server = self.serve("0")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        config = os.path.join(self.scratch, "prometheus.yml")
        with open(config, "w") as file:
            file.write("global: {scrape_interval: 1s}\nscrape_configs: [{job_name: vantorix, static_configs: "
                       "[{targets: ['127.0.0.1:%d']}]}]\n" % server.port)
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.scratch, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port, "--log.level=error"], stderr=subprocess.DEVNULL)
        self.addCleanup(prometheus.wait, 30)
        self.addCleanup(prometheus.terminate)

        def query(expression):
            try:
                answer = json.loads(get("http://127.0.0.1:%d/api/v1/query?query=%s" % (port, expression))[1])
            except OSError:
                return None
            return {item["metric"].get("core"): float(item["value"][1]) for item in answer["data"]["result"]}

        temperatures = {str(core): 4 + core * 0.25 for core in range(5)}
        wait_for(lambda: query("vantorix_core_temperature_celsius") == temperatures, 60, "the scraped temperatures")
        monitor.terminate()
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
                         "--window-size=900,1300", "--user-data-dir=" + os.path.join(self.scratch, "profile")):
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.set_page_load_timeout(30)
        browser.get(server.url)
        text = lambda element: browser.find_element(By.ID, element).text
        temperatures = lambda: [text("temp-%d" % core) for core in range(4)]

        wait_for(lambda: text("name") == "Stand-in CPU (synthetic readings)", 20, "the processor's name")
        first = wait_for(lambda: browser.find_elements(By.ID, "temp-3") and temperatures(), 10, "a row per core")
        self.assertTrue(all(re.match(r"^\d+\.\d °C$", value) for value in first), first)
        wait_for(lambda: temperatures() != first, 10, "a temperature to change on the next refresh")
        if OPTIONS.screenshot:
            time.sleep(OPTIONS.screenshot_after)
            browser.save_screenshot(OPTIONS.screenshot)
        monitor.terminate()
        wait_for(lambda: "not running" in text("status"), 10, "the page to say the monitor is not running")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--screenshot", help="save the live page as this PNG (docs/serve.png)")
    parser.add_argument("--screenshot-after", type=float, default=0, help="seconds of history before it")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
