#!/usr/bin/env python3
"""vantorix-info --mqtt against Debian's mosquitto, started here on loopback
with its own config, port and folder (and a user and password), natively or
under Wine (--runner), with the stand-in monitor publishing given records:
Home Assistant's discovery configs arrive retained for every core, states
follow the readings, a missing temperature and a stopped monitor read
unavailable (null), fewer cores remove the extra sensors, Home Assistant's
`online` and a broker restart bring the announcement again, a killed reader
leaves the will's `offline`. A fake broker that sends a malformed or
oversized packet is left, logged once, while the reader goes on serving."""
import argparse
import json
import os
import pwd
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.request

import paho.mqtt.client as paho
from waiting import wait_until
from serving import free_port, make_certificates

OPTIONS = None
LAYOUT = struct.Struct("<256i128i2i256f4f100sBB2s")
USER, PASSWORD = "vantorix", "s3cret words"


def command(name, *args):
    return ([OPTIONS.runner] if OPTIONS.runner else []) + [os.path.join(OPTIONS.bin, name + OPTIONS.suffix), *args]


def record(temps, loads, name, fahrenheit=0, vid=1.25, clock=3600.0):
    cores = len(temps)
    return LAYOUT.pack(*(loads + [0] * (256 - cores)), *([100] * 128), cores, 1,
                       *(temps + [0.0] * (256 - cores)), vid, clock, 100.0, 36.0,
                       name.encode().ljust(100, b"\0"), fahrenheit, 0, b"\0\0")


def machine_id():
    """The id the system keeps for this machine (under Wine: the prefix's MachineGuid)."""
    if not OPTIONS.runner:
        with open("/etc/machine-id") as file:
            return file.read().strip()
    # Through a file: a wineserver it starts would hold a pipe open.
    with tempfile.TemporaryFile() as out:
        subprocess.run([OPTIONS.runner, "reg", "query", r"HKLM\SOFTWARE\Microsoft\Cryptography", "/v",
                        "MachineGuid"], stdout=out, stderr=subprocess.DEVNULL, timeout=60)
        out.seek(0)
        return re.search(rb"MachineGuid\s+REG_SZ\s+(\S+)", out.read()).group(1).decode()


class Broker:
    """mosquitto on 127.0.0.1:`port`, with one user and nothing kept between runs."""

    def __init__(self, folder, port, tls_port=None):
        """`tls_port`: a TLS listener too, with folder's server.pem and server.key."""
        self.folder, self.port = folder, port
        passwords = os.path.join(folder, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(passwords, 0o600)
        self.config = os.path.join(folder, "mosquitto.conf")
        with open(self.config, "w") as config:
            # As root it would become the user mosquitto, who cannot read this folder.
            config.write("listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\npersistence false\n"
                         "log_dest stderr\nuser %s\n" % (port, passwords, pwd.getpwuid(os.getuid()).pw_name))
            if tls_port:
                config.write("listener %d 127.0.0.1\ncertfile %s\nkeyfile %s\n" % (
                    tls_port, os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")))
        self.log_path = os.path.join(folder, "mosquitto.log")
        self.process = None
        self.start()

    def start(self):
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdout=log, stderr=log)
        try:
            wait_until(self.listening, "mosquitto to listen", 30, self.process)
        except AssertionError:
            with open(self.log_path) as log:
                raise AssertionError("mosquitto did not start:\n" + log.read())

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(30)


class Subscriber:
    """A client of the broker that keeps every message of `topics`, in order."""

    def __init__(self, port, topics=("#",)):
        self.messages, self.lock = [], threading.Lock()
        self.client = paho.Client(client_id="", clean_session=True)
        self.client.username_pw_set(USER, PASSWORD)
        self.client.on_message = lambda client, data, message: self.keep(message)
        self.client.on_connect = lambda client, data, flags, code: [client.subscribe(t) for t in topics]
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def keep(self, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.retain))

    def seen(self):
        with self.lock:
            return list(self.messages)

    def last(self, topic):
        """The last payload of `topic`, None before one came."""
        found = [payload for t, payload, _ in self.seen() if t == topic]
        return found[-1] if found else None

    def publish(self, topic, payload):
        self.client.publish(topic, payload).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class MqttTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(dir=OPTIONS.scratch)
        self.addCleanup(shutil.rmtree, self.folder, True)
        subprocess.run(command("vantorix-standin", "--remove"), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.credentials = os.path.join(self.folder, "mqtt-credentials")
        with open(self.credentials, "w") as file:
            file.write("%s\n%s\n" % (USER, PASSWORD))
        self.monitor_process = None

    def path(self, path):
        return OPTIONS.path_prefix + path

    def monitor(self, packed):
        """The stand-in publishing `packed`, in place of the one before."""
        self.stop_monitor()
        path = os.path.join(self.folder, "record")
        with open(path, "wb") as file:
            file.write(packed)
        self.monitor_process = subprocess.Popen(command("vantorix-standin", "--record", self.path(path)),
                                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_monitor)
        # Readers started before the record is out would read "no monitor" first.
        said = select.select([self.monitor_process.stdout], [], [], 60)[0]
        self.assertEqual(b"ready", self.monitor_process.stdout.readline().strip() if said else None)

    def stop_monitor(self):
        if self.monitor_process and self.monitor_process.poll() is None:
            self.monitor_process.terminate()
            self.monitor_process.wait(30)
        if self.monitor_process:
            self.monitor_process.stdout.close()

    def reader(self, *args):
        """vantorix-info with `args`, its output in a file that a failure shows."""
        output = tempfile.NamedTemporaryFile(dir=self.outputs, delete=False)
        process = subprocess.Popen(command("vantorix-info", "--interval", "0.2", *args), stdout=output,
                                   stderr=output)

        def text():
            with open(output.name, "rb") as file:
                return file.read().decode(errors="replace")

        def end():
            if process.poll() is None:
                process.kill()
            process.wait(30)

        self.addCleanup(end)
        self.shown.append(text)
        return process, text

    def run(self, result=None):
        """The test, and the readers' output when it failed."""
        self.shown = []
        failures = len(result.failures) + len(result.errors) if result else 0
        with tempfile.TemporaryDirectory(dir=OPTIONS.scratch) as self.outputs:
            outcome = super().run(result)
            if result and len(result.failures) + len(result.errors) > failures:
                for text in self.shown:
                    print("\nvantorix-info's output:\n" + text(), file=sys.stderr)
        return outcome

    def test_home_assistant_sees_the_readings(self):
        port = free_port()
        broker = Broker(self.folder, port)
        self.addCleanup(broker.stop)
        watcher = Subscriber(port)
        self.addCleanup(watcher.close)
        # Core 2 has no temperature.
        self.monitor(record([40.5, 45.0, 0.0, 43.25], [10, 20, 30, 40], "Test CPU 4"))
        reader, text = self.reader("--mqtt", "mqtt://127.0.0.1:%d" % port, "--mqtt-password-file",
                                   self.path(self.credentials))

        keys = ["core%d_%s" % (core, kind) for core in range(4) for kind in ("temperature", "load")]
        keys += ["hottest_temperature", "clock", "vid"]

        def configs(messages):
            found = {}
            for topic, payload, retained in messages:
                match = re.fullmatch(r"homeassistant/sensor/vantorix_([a-z0-9]+)/(\w+)/config", topic)
                if match:
                    found[match.group(2)] = (json.loads(payload) if payload else None, retained, match.group(1))
            return found

        wait_until(lambda: set(keys) <= set(configs(watcher.seen())), "every sensor's config", 60, reader)
        # Retained: a client that subscribes now is given them all.
        late = Subscriber(port, ["homeassistant/#", "vantorix/#"])
        self.addCleanup(late.close)
        announced = wait_until(lambda: configs(late.seen()) if set(keys) <= set(configs(late.seen())) else None,
                               "the retained configs", 30)
        device_id = announced["core0_temperature"][2]
        self.assertEqual(re.sub(r"[^a-z0-9]", "", machine_id().lower()), device_id, "from the machine's id")
        base = "vantorix/" + device_id
        for key in keys:
            config, retained, _ = announced[key]
            self.assertTrue(retained, key)
            self.assertEqual("vantorix_%s_%s" % (device_id, key), config["unique_id"])
            self.assertEqual(base + "/state", config["state_topic"])
            self.assertEqual("measurement", config["state_class"])
            self.assertEqual({"identifiers": ["vantorix_" + device_id], "name": config["device"]["name"],
                              "model": "Test CPU 4", "sw_version": config["device"]["sw_version"]}, config["device"])
            self.assertIn({"topic": base + "/availability"}, config["availability"])
            self.assertGreater(config["expire_after"], 0)
            expected = {"temperature": ("temperature", "°C"), "load": (None, "%"), "clock": ("frequency", "MHz"),
                        "vid": ("voltage", "V")}[key.rsplit("_", 1)[-1]]
            self.assertEqual(expected, (config.get("device_class"), config["unit_of_measurement"]), key)
        self.assertEqual("online", wait_until(lambda: late.last(base + "/availability"), "online", 30))

        # States follow the readings; what is missing is null.
        state = lambda: json.loads(watcher.last(base + "/state") or "{}")
        wait_until(lambda: state().get("core0_temperature") == 40.5, "the first state", 30, reader)
        self.assertEqual({"core0_temperature": 40.5, "core0_load": 10, "core1_temperature": 45.0, "core1_load": 20,
                          "core2_temperature": None, "core2_load": 30, "core3_temperature": 43.25,
                          "core3_load": 40, "hottest_temperature": 45.0, "clock": 3600.0, "vid": 1.25}, state())

        # Without a monitor every sensor is unavailable.
        self.stop_monitor()
        wait_until(lambda: state() and all(value is None for value in state().values()), "all null", 30, reader)

        # Fewer cores, in Fahrenheit: the extra sensors' configs are removed, retained.
        self.monitor(record([100.5, 98.0], [5, 6], "Test CPU 2", fahrenheit=1))
        wait_until(lambda: state().get("core0_temperature") == 100.5, "the new readings", 30, reader)
        gone = ["core2_temperature", "core2_load", "core3_temperature", "core3_load"]
        wait_until(lambda: all(configs(watcher.seen()).get(key, (1,))[0] is None for key in gone),
                   "empty configs for the cores gone", 30, reader)
        self.assertEqual("°F", configs(watcher.seen())["core0_temperature"][0]["unit_of_measurement"])

        # Home Assistant starting again: the configs are sent again.
        count = len(watcher.seen())
        watcher.publish("homeassistant/status", "online")
        wait_until(lambda: "core1_load" in configs(watcher.seen()[count:]), "the configs after online", 30, reader)

        # A broker restarted empty: the reader connects again and announces.
        watcher.close()
        broker.stop()
        broker.start()
        fresh = Subscriber(port, ["homeassistant/#", "vantorix/#"])
        self.addCleanup(fresh.close)
        wait_until(lambda: {"core0_temperature", "core1_load", "vid"} <= set(configs(fresh.seen())),
                   "the announcement after the restart", 60, reader)
        self.assertEqual("online", wait_until(lambda: fresh.last(base + "/availability"), "online again", 30))
        self.assertEqual(announced["core0_load"][0]["unique_id"],
                         configs(fresh.seen())["core0_load"][0]["unique_id"], "stable")

        # Killed, it leaves the will.
        reader.kill()
        reader.wait(30)
        wait_until(lambda: fresh.last(base + "/availability") == "offline", "the will's offline", 120)

        # Stopped after its reads, it says offline itself.
        count = len(fresh.seen())
        availability = lambda: [payload for topic, payload, _ in fresh.seen()[count:] if topic == base + "/availability"]
        again, text_again = self.reader("--mqtt", "mqtt://127.0.0.1:%d" % port, "--count", "25",
                                        "--mqtt-password-file", self.path(self.credentials))
        wait_until(lambda: availability() == ["online"], "online", 30, again)
        self.assertEqual(0, again.wait(60), text_again())
        wait_until(lambda: availability() == ["online", "offline"], "its own offline", 30)

    def test_a_hostile_broker_is_left_and_the_reader_goes_on(self):
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.settimeout(60)
        self.monitor(record([50.0], [1], "Test CPU 1"))
        reader, text = self.reader("--serve", "127.0.0.1:0", "--mqtt", "mqtt://127.0.0.1:%d" % listener.getsockname()[1])
        url = wait_until(lambda: re.search(r"serving (http://\S+/)", text()), "the server", 60, reader).group(1)
        # An oversized packet twice (logged once), then a malformed one.
        for answer in (b"\x20\x02\x00\x00\x30\xff\xff\xff\x7f", b"\x30\xff\xff\xff\x7f", b"\x20\x02\x00\x00\xf0\x00"):
            connection, _ = listener.accept()
            with connection:
                connection.settimeout(30)
                self.assertEqual(0x10, connection.recv(1)[0], "a CONNECT first")
                connection.sendall(answer)
                try:
                    while connection.recv(65536):
                        pass  # until the reader closes it
                except ConnectionResetError:
                    pass
            with urllib.request.urlopen(url + "api/readings", timeout=10) as response:
                reading = json.loads(response.read())
            self.assertEqual([50.0], reading.get("temp"), reading)
        wait_until(lambda: "malformed" in text(), "the malformed packet logged", 30, reader)
        self.assertEqual(1, text().count("oversized"), text())
        self.assertEqual(1, text().count("malformed"), text())
        self.assertIsNone(reader.poll())


    def test_mqtts_checks_the_brokers_certificate(self):
        if OPTIONS.runner:
            # No TLS in the Windows build: refused at once, in one line.
            result = subprocess.run(command("vantorix-info", "--mqtt", "mqtts://127.0.0.1", "--count", "1"),
                                    capture_output=True, timeout=60)
            self.assertEqual((3, 1), (result.returncode, len(result.stderr.splitlines())), result.stderr)
            self.assertIn(b"not available", result.stderr)
            return
        make_certificates(self.folder)
        port, tls_port = free_port(), free_port()
        broker = Broker(self.folder, port, tls_port)
        self.addCleanup(broker.stop)
        watcher = Subscriber(port, ["vantorix/+/availability"])
        self.addCleanup(watcher.close)
        url = "mqtts://127.0.0.1:%d" % tls_port
        # Not signed by an authority the system trusts: refused, and said.
        untrusted, text = self.reader("--mqtt", url, "--mqtt-password-file", self.credentials)
        wait_until(lambda: "certificate verify failed" in text(), "the refusal", 60, untrusted)
        self.assertEqual([], watcher.seen())
        untrusted.kill()
        trusted, _ = self.reader("--mqtt", url, "--mqtt-password-file", self.credentials, "--mqtt-ca-file",
                                 os.path.join(self.folder, "ca.pem"))
        wait_until(lambda: [payload for _, payload, _ in watcher.seen()] == ["online"], "online over TLS", 60,
                   trusted)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--scratch", default=tempfile.gettempdir())
    parser.add_argument("--runner", help="runs each program (wine-run.sh)")
    parser.add_argument("--suffix", default="", help="the programs' suffix (.exe)")
    parser.add_argument("--path-prefix", default="", help="prefix that makes a path the programs' own (Z:)")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
