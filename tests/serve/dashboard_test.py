#!/usr/bin/env python3
"""The Grafana dashboard (grafana/vantorix-fleet.json) as Grafana reads it,
and every panel's query on a real Prometheus that scrapes two machines: two
vantorix-info --serve on loopback, each fed by a stand-in with its own core
count in a /dev/shm of its own. Each query returns one series per machine,
with the labels its legend names; the instance variable lists both and
narrows to one. Grafana itself is not in Debian. Needs root (exit 77, a
skip, otherwise) for the mount namespaces."""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

from waiting import wait_until

OPTIONS = None
DATASOURCE = {"type": "prometheus", "uid": "${datasource}"}


def read(path):
    with open(path, errors="replace") as file:
        return file.read()


class DashboardTest(unittest.TestCase):
    def setUp(self):
        with open(OPTIONS.dashboard) as file:
            self.dashboard = json.load(file)
        self.scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def test_structure(self):
        variables = self.dashboard["templating"]["list"]
        queries = [variable for variable in variables if variable["type"] == "query"]
        self.assertEqual(["instance"], [variable["name"] for variable in queries])
        self.assertEqual("label_values(vantorix_up, instance)", queries[0]["query"]["query"])
        self.assertEqual(["datasource"], [v["name"] for v in variables if v["type"] == "datasource"])
        self.assertEqual(["Hottest core", "Headroom to TjMax", "Load", "Liveness"],
                         [panel["title"] for panel in self.dashboard["panels"]])
        for panel in self.dashboard["panels"]:
            self.assertEqual(DATASOURCE, panel["datasource"], panel["title"])
            self.assertTrue(panel["targets"], panel["title"])
            refs = [target["refId"] for target in panel["targets"]]
            self.assertEqual(len(refs), len(set(refs)), panel["title"])
            for target in panel["targets"]:
                self.assertEqual(DATASOURCE, target["datasource"], panel["title"])
                self.assertIn('instance=~"$instance"', target["expr"], panel["title"])

    def machine(self, name, generation):
        """A stand-in of `generation` and a server reading it, in a /dev/shm of their own."""
        log = os.path.join(self.scratch, name + ".log")
        # The shell ends both on SIGTERM, and waits for them.
        script = ('trap \'kill $standin $server; wait\' TERM\nmount -t tmpfs tmpfs /dev/shm || exit 1\n'
                  '"$1" --generation "$2" --seconds 300 & standin=$!\n"$3" --serve 0 & server=$!\nwait\n')
        with open(log, "w") as output:
            pair = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                 os.path.join(OPTIONS.bin, "vantorix-standin"), str(generation),
                 os.path.join(OPTIONS.bin, "vantorix-info")], stdout=output, stderr=output)
        self.addCleanup(lambda: (pair.terminate(), pair.wait(30)))
        self.logs.append(log)
        found = wait_until(lambda: pair.poll() is not None or re.search(r"serving http://(\S+)/", read(log)),
                           "the server of " + name)
        self.assertIsNot(True, found, "the server of %s ended: %s" % (name, read(log)))
        return found.group(1)

    def prometheus(self, targets):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        config = os.path.join(self.scratch, "prometheus.yml")
        with open(config, "w") as file:
            file.write("global: {scrape_interval: 1s}\nscrape_configs: [{job_name: vantorix, "
                       "static_configs: [{targets: %s}]}]\n" % json.dumps(targets))
        log = os.path.join(self.scratch, "prometheus.log")
        with open(log, "w") as output:
            prometheus = subprocess.Popen(
                ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.scratch, "tsdb"),
                 "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"], stdout=output, stderr=output)
        self.addCleanup(lambda: (prometheus.terminate(), prometheus.wait(30)))
        self.logs.append(log)
        return "http://127.0.0.1:%d/api/v1/" % port

    def test_every_panel_returns_a_series_per_machine(self):
        self.logs = []
        try:
            self.check_the_panels()
        except BaseException:
            for log in self.logs:
                print("--- %s:\n%s" % (log, read(log)), file=sys.stderr)
            raise

    def check_the_panels(self):
        # Generation 4: five cores at 4 + 0.25 per core °C; generation 8: nine at 8 + 0.25 per core.
        machines = {self.machine("five", 4): 5.0, self.machine("nine", 8): 10.0}
        api = self.prometheus(sorted(machines))

        def query(expression):
            try:
                with urllib.request.urlopen(api + "query?query=" + urllib.parse.quote(expression), timeout=10) as r:
                    return json.load(r)["data"]["result"]
            except OSError:
                return None

        wait_until(lambda: len(query("vantorix_up == 1") or []) == 2, "both machines to be scraped")
        with urllib.request.urlopen(api + "label/instance/values?match[]=vantorix_up", timeout=10) as answer:
            self.assertEqual(sorted(machines), sorted(json.load(answer)["data"]))

        for panel in self.dashboard["panels"]:
            for target in panel["targets"]:
                what = "%s, %s" % (panel["title"], target["refId"])
                legend = re.findall(r"{{\s*(\w+)\s*}}", target["legendFormat"])
                # "All" (the variable's allValue), then one machine.
                result = query(target["expr"].replace("$instance", ".+"))
                self.assertEqual(sorted(machines), sorted(series["metric"].get("instance") for series in result), what)
                for series in result:
                    self.assertTrue(set(legend) <= set(series["metric"]), (what, series))
                one = sorted(machines)[0]
                result = query(target["expr"].replace("$instance", re.escape(one).replace("\\", "\\\\")))
                self.assertEqual([one], [series["metric"]["instance"] for series in result], what)
        hottest = query(self.dashboard["panels"][0]["targets"][0]["expr"].replace("$instance", ".+"))
        self.assertEqual(machines, {series["metric"]["instance"]: float(series["value"][1]) for series in hottest})


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--dashboard", required=True)
    OPTIONS, rest = parser.parse_known_args()
    if os.geteuid() != 0:
        print("skipped: the two machines' /dev/shm need root")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
