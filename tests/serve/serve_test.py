#!/usr/bin/env python3
"""vantorix-info --serve against the stand-in monitor, on loopback, natively or
under Wine (--runner): the endpoints follow the monitor as it stops and comes
back; many clients, some leaving mid-response, cost one read per interval;
hostile clients (slow and idle crowds, oversized heads, bodies, many ranges,
foreign Host names, other methods) are refused without starving a scrape;
Ctrl-C and SIGTERM end it within a second whatever the clients do; a taken
port is refused; a restarted server shows the history it kept at once, and
slow readers of it lock no one out. A real Prometheus scrapes it (and
node_exporter with an old textfile) and evaluates the shipped alert
rules on it, and headless Chromium shows the page, and each shared record
fixture on it as expected."""
import argparse
import http.client
import json
import os
import re
import resource
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
import urllib.error
import urllib.parse
import urllib.request

from prometheus_client.parser import text_string_to_metric_families
from selenium.webdriver.common.by import By
import records
from waiting import wait_until

OPTIONS = None
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "prometheus", "vantorix-alerts.yml")
PAGE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "serve", "page", "app.js")


def program(name):
    return os.path.join(OPTIONS.bin, name + OPTIONS.suffix)


def command(name, *args):
    return ([OPTIONS.runner] if OPTIONS.runner else []) + [program(name), *args]


def run(name, *args, timeout=60):
    # Output through files: a wineserver started by the program would hold
    # pipes open after it exits.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command(name, *args), stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read().decode(), err.read().decode()
        return result


def wait_for(predicate, timeout, what):
    return wait_until(predicate, what, timeout)


def read_by_peer(sock):
    """Whether what `sock` sent has been read by the program at its other
    end on this machine: that end's receive queue in /proc/net/tcp is empty,
    or that end is no longer an open connection."""
    local, peer = sock.getsockname()[1], sock.getpeername()[1]
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            for row in list(rows)[1:]:
                fields = row.split()
                if (int(fields[1].rsplit(":", 1)[1], 16), int(fields[2].rsplit(":", 1)[1], 16)) == (peer, local):
                    return fields[3] != "01" or int(fields[4].split(":")[1], 16) == 0  # ESTABLISHED, rx_queue
    return True


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


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)) / 1024


def connect(address, source="127.0.0.1"):
    """A connection from `source` (any address of 127.0.0.0/8: another client)."""
    return socket.create_connection(address, timeout=10, source_address=(source, 0))


def answered(sock, request=b"GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n"):
    """True when `request` on `sock` is answered with 200 and a whole body."""
    data = b""
    try:
        sock.sendall(request)
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                print("not answered: closed after %r" % data[:40], file=sys.stderr)
                return False
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"content-length: *(\d+)", head, re.I).group(1))
        while len(body) < length:
            chunk = sock.recv(65536)
            if not chunk:
                return False
            body += chunk
        return head.startswith(b"HTTP/1.1 200")
    except OSError as error:
        print("not answered: %s after %r" % (error, data[:40]), file=sys.stderr)
        return False


def scrape(address, client="127.0.0.1"):
    """True when a scrape on a new connection from `client` is answered."""
    with connect(address, client) as sock:
        return answered(sock)


def closed(sock, within=0):
    """True when the server has closed `sock`, within `within` seconds."""
    sock.settimeout(within) if within else sock.setblocking(False)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except (BlockingIOError, socket.timeout):
        return False
    except OSError:
        return True


class Server:
    def __init__(self, *args, files=None):
        """`files`: the server's limit on open files."""
        self.output = tempfile.TemporaryFile()
        # The history file in a place of its own, unless a test names one.
        self.state = tempfile.TemporaryDirectory()
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
        if OPTIONS.runner and "--history-file" not in args:
            # Wine sets %LOCALAPPDATA% from the prefix, whatever the environment says.
            args += ("--history-file", os.path.join(self.state.name, "history"))
        self.process = subprocess.Popen(command("vantorix-info", "--serve", *args), stdout=self.output,
                                        stderr=self.output, env=dict(os.environ, XDG_STATE_HOME=self.state.name),
                                        preexec_fn=limit if files else None)
        found = None
        deadline = time.time() + 30
        while not found and time.time() < deadline and self.process.poll() is None:
            time.sleep(0.05)
            found = re.search(r"serving (http://(.*):(\d+)/)", self.text())
        if not found:
            self.process.kill()
            self.process.wait()
            raise AssertionError("the server did not start: " + self.text())
        self.url, self.host, self.port = found.group(1), found.group(2), int(found.group(3))

    def text(self):
        """What the server printed so far."""
        self.output.seek(0)
        return self.output.read().decode(errors="replace")

    def json(self):
        return json.loads(get(self.url + "api/readings")[1])

    def metric(self, name):
        for family in text_string_to_metric_families(get(self.url + "metrics")[1].decode()):
            for sample in family.samples:
                if sample.name == name:
                    return sample.value
        return None

    def refused(self):
        """True once the server no longer takes connections."""
        try:
            socket.create_connection((self.host, self.port), timeout=5).close()
            return False
        except ConnectionRefusedError:
            return True

    def stop(self, number=signal.SIGTERM, within=15, again=False):
        """Signals the server (`again`: a second time once it no longer
        serves, in its final save); its exit status, None if it outlived
        `within` seconds."""
        self.process.send_signal(number)
        if again:
            wait_for(self.refused, within, "the server to stop serving")
            self.process.send_signal(number)
        try:
            return self.process.wait(timeout=within)
        except subprocess.TimeoutExpired:
            return None
        finally:
            self.process.kill()
            self.process.wait()


class ServeTest(unittest.TestCase):
    def setUp(self):
        self.assertEqual(0, run("vantorix-standin", "--remove").returncode)
        self.scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def serve(self, *args, files=None):
        server = Server(*args, files=files)
        self.servers.append(server)
        self.addCleanup(lambda: server.process.poll() is None and server.stop())
        return server

    def run(self, result=None):
        """Shows what the servers printed when the test failed."""
        result = result or self.defaultTestResult()
        failures, self.servers = len(result.failures) + len(result.errors), []
        super().run(result)
        for server in self.servers:
            if len(result.failures) + len(result.errors) > failures:
                print("\nthe server's output (%s):\n%s" % (server.url, server.text()), file=sys.stderr)
            server.output.close()
            server.state.cleanup()
        return result

    def monitor(self, *args):
        monitor = subprocess.Popen(command("vantorix-standin", *args), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(monitor.wait, 30)
        self.addCleanup(monitor.terminate)
        wait_for(lambda: run("vantorix-info").returncode == 0, 60, "the stand-in monitor to publish")
        return monitor

    def test_endpoints_follow_the_monitor_as_it_stops_and_comes_back(self):
        monitor = self.monitor("--generation", "10")
        server = self.serve("0", "--interval", "0.2")
        self.assertEqual("127.0.0.1", server.host, "loopback unless told otherwise")
        self.assertEqual("text/plain; version=0.0.4; charset=utf-8", get(server.url + "metrics")[0])
        self.assertEqual((1, 11, 1.01e9), (server.metric("vantorix_up"), server.metric("vantorix_cores"),
                                           server.metric("vantorix_cpu_clock_hertz")))
        reading = server.json()
        alive = None if OPTIONS.runner else True  # Windows cannot tell a live monitor from a dead one's region
        self.assertEqual(("Stand-in CPU, generation 10", alive), (reading["cpu_name"], reading["monitor_alive"]))
        self.assertRegex(reading["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIn("text/html", get(server.url)[0])
        # Every response allows script from the server's own files alone: no
        # inline script, eval or other origins, whatever else the policy says.
        for path in ("", "metrics", "api/readings", "app.js"):
            allowed = script_sources(server.url + path)
            self.assertTrue(allowed and None not in allowed, (path, allowed))
            self.assertEqual({"'self'"}, set(sum(allowed, [])), path)
        with open(PAGE_SCRIPT, "rb") as script:
            self.assertEqual(script.read(), get(server.url + "app.js")[1])
        self.assertEqual("image/svg+xml", get(server.url + "favicon.ico")[0])
        history = json.loads(get(server.url + "api/history?seconds=60")[1])["samples"]
        self.assertEqual([11] * len(history), [len(sample["temp"]) for sample in history])
        with self.assertRaises(urllib.error.HTTPError) as refused:
            get(server.url + "api/history?seconds=60x")
        self.assertEqual(400, refused.exception.code)
        monitor.kill()  # on Linux its region stays behind; on Windows it goes with the process
        monitor.wait()
        if not OPTIONS.runner:
            wait_for(lambda: server.json().get("monitor_alive") is False, 1, "the monitor's death, within a second")
            self.assertEqual((1, 0), (server.metric("vantorix_up"), server.metric("vantorix_monitor_alive")))
            run("vantorix-standin", "--remove")
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
                            sock.sendall(b"GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n")
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

    def test_a_restarted_server_shows_the_last_hour_at_once(self):
        self.monitor("--synthetic", "--rate", "5")

        def hour(server):
            return json.loads(get(server.url + "api/history?seconds=3600")[1])["samples"]

        def reads(server):
            samples = [sample for sample in hour(server) if sample["temp"]]
            return samples if len(samples) >= 4 else None

        if OPTIONS.runner:
            # Under Wine a signal ends the program as taskkill /F does, with
            # no final save: a restart shows what the last minute's save kept.
            path = os.path.join(self.scratch, "state", "history")
            first = self.serve("0", "--interval", "0.2", "--history-file", path)
            wait_for(lambda: os.path.exists(path), 90, "the first minute's save")
            before = [sample for sample in hour(first) if sample["temp"]]
            first.process.kill()
            first.process.wait()
            second = self.serve("0", "--interval", "0.2", "--history-file", path)
            shown = [sample for sample in hour(second) if sample["temp"] and sample["t"] <= before[-1]["t"]]
            self.assertTrue(shown, "the reads saved before the kill")
            self.assertEqual(before[:len(shown)], shown)
            self.assertNotIn("warning", second.text())
            return

        # However it stops, it saves once and exits 0: (what, the signal, sent again in the final save)
        table = [("SIGTERM", signal.SIGTERM, False), ("SIGHUP: its terminal closed", signal.SIGHUP, False),
                 ("Ctrl-C twice, the second in the final save", signal.SIGINT, True)]
        for what, number, again in table:
            path = os.path.join(self.scratch, "state-%d" % number, "history")
            first = self.serve("0", "--interval", "0.2", "--history-file", path)
            kept = wait_for(lambda: reads(first), 30, "four reads kept")
            self.assertEqual(0, first.stop(number, again=again), what)
            second = self.serve("0", "--interval", "0.2", "--history-file", path)
            shown = hour(second)
            self.assertEqual(kept, [sample for sample in shown if sample["t"] <= kept[-1]["t"]][-len(kept):], what)
            self.assertNotIn("warning", second.text(), what)
            second.stop()

    def test_ctrl_c_and_sigterm_end_it_within_a_second_whatever_the_clients_do(self):
        # Under Wine a signal ends the Windows program by the loader's default.
        for number in (signal.SIGINT, signal.SIGTERM):
            server = self.serve("0")
            kept = socket.create_connection((server.host, server.port), timeout=5)  # idle after one request
            kept.sendall(b"GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")
            kept.recv(100)
            silent = socket.create_connection((server.host, server.port), timeout=5)  # half a request
            silent.sendall(b"GET /metr")
            trickling = socket.create_connection((server.host, server.port), timeout=5)
            trickling.sendall(b"GET /metrics HTTP/1.1\r\nHost: localhost\r\nX-Slow: ")
            stop, trickled = threading.Event(), threading.Semaphore(0)

            def trickle():
                while not stop.wait(0.05):
                    try:
                        trickling.send(b"a")
                    except OSError:
                        return
                    trickled.release()

            thread = threading.Thread(target=trickle)
            thread.start()
            # The signal comes while the head trickles in: a few bytes of it sent.
            for _ in range(3):
                self.assertTrue(trickled.acquire(timeout=60), "the trickling client could not send")
            try:
                status = server.stop(number, within=1)
            finally:
                stop.set()
                thread.join()
            self.assertIsNotNone(status, "signal %d: still running a second later" % number)
            if not OPTIONS.runner:
                self.assertEqual(0, status, number)
            for sock in (kept, silent, trickling):
                sock.close()

    def exchange(self, server, head, body_expected=True, wait_for_close=True):
        """Sends `head` (or its pieces, one write each), and nothing after it,
        on a new connection. The answer's status, headers and body, and
        whether the server then closed."""
        with socket.create_connection((server.host, server.port), timeout=10) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for piece in head if isinstance(head, list) else [head]:
                sock.sendall(piece)
                wait_for(lambda: read_by_peer(sock), 60, "the server to read the piece")  # each piece alone
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
            first, _, body = data.partition(b"\r\n\r\n")
            lines = first.decode("latin-1").split("\r\n")
            headers = {name.strip().lower(): value.strip() for name, _, value in (l.partition(":") for l in lines[1:])}
            length = int(headers.get("content-length", "0")) if body_expected else 0
            while len(body) < length:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                body += chunk
            sock.settimeout(1 if wait_for_close else 0.01)
            try:
                closed = sock.recv(1) == b""
            except socket.timeout:
                closed = False
            except ConnectionResetError:
                closed = True
            return int(lines[0].split()[1]) if lines[0] else None, headers, body, closed

    def test_hostile_requests_are_refused_without_reading_their_bodies(self):
        server = self.serve("0", "--allow-host", "Proxy.EXAMPLE")
        script_size = os.path.getsize(PAGE_SCRIPT)
        ok = "Host: 127.0.0.1:%d\r\n" % server.port
        allowed = 'Allow: GET, HEAD'
        data_headers = ["Cache-Control: no-store", "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer",
                        "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'"]
        # (what, request head, status, headers it has, connection closed after it)
        table = [
            ("a scrape", "GET /metrics HTTP/1.1\r\n" + ok, 200, data_headers, False),
            ("localhost", "GET /api/readings HTTP/1.1\r\nHost: localhost:%d\r\n" % server.port, 200,
             ["Cache-Control: no-store"], False),
            ("[::1] without port", "GET / HTTP/1.1\r\nHost: [::1]\r\n", 200, ["X-Content-Type-Options: nosniff"],
             False),
            ("[::1] with port", "GET / HTTP/1.1\r\nHost: [::1]:%d\r\n" % server.port, 200, [], False),
            ("another address of the machine", "GET /metrics HTTP/1.1\r\nHost: 192.0.2.7:9100\r\n", 200, [], False),
            ("an IPv6 address", "GET /metrics HTTP/1.1\r\nHost: [2001:db8::7]\r\n", 200, [], False),
            ("this machine's name", "GET /metrics HTTP/1.1\r\nHost: %s\r\n" % socket.gethostname().upper(), 200,
             [], False),
            ("HTTP/1.0, no Host", "GET /metrics HTTP/1.0\r\n", 200, [], True),
            ("a name the proxy sends", "GET /metrics HTTP/1.1\r\nHost: proxy.Example\r\n", 200, [], False),
            ("a rebound name", "GET /api/readings HTTP/1.1\r\nHost: attacker.example:%d\r\n" % server.port,
             421, [], False),
            ("a rebound name, no port", "GET /metrics HTTP/1.1\r\nHost: attacker.example\r\n", 421, [], False),
            ("events to a rebound name", "GET /api/events HTTP/1.1\r\nHost: attacker.example\r\n", 421, [], False),
            ("events every 0 reads", "GET /api/events?every=0 HTTP/1.1\r\n" + ok, 400, [], False),
            ("events every 5 s", "GET /api/events?every=5s HTTP/1.1\r\n" + ok, 400, [], False),
            ("a rebound name under the machine's", "GET /metrics HTTP/1.1\r\nHost: %s.attacker.example\r\n"
             % socket.gethostname(), 421, [], False),
            ("not an address", "GET /metrics HTTP/1.1\r\nHost: [::1x]\r\n", 421, [], False),
            ("a huge header", "GET /metrics HTTP/1.1\r\n" + ok + "X-Big: " + "a" * 20000 + "\r\n", 431,
             data_headers[1:], True),
            ("thousands of headers", "GET /metrics HTTP/1.1\r\n" + ok + "X-A: b\r\n" * 3000, 431, [], True),
            ("a huge head in small writes", ["GET /metrics HTTP/1.1\r\n" + ok] +
             ["X-Part-%d: %s\r\n" % (n, "a" * 1000) for n in range(10)], 431, [], True),
            ("a GET with an empty body", "GET /metrics HTTP/1.1\r\n" + ok + "Content-Length: 0\r\n", 200, [], False),
            ("a gigabyte POST", "POST /metrics HTTP/1.1\r\n" + ok + "Content-Length: 1000000000\r\n", 405,
             [allowed], True),
            ("a chunked PUT", "PUT / HTTP/1.1\r\n" + ok + "Transfer-Encoding: chunked\r\n", 405, [allowed], True),
            ("DELETE", "DELETE /metrics HTTP/1.1\r\n" + ok, 405, [allowed], True),
            ("OPTIONS", "OPTIONS * HTTP/1.1\r\n" + ok, 405, [allowed], True),
            ("an unknown method", "BREW /metrics HTTP/1.1\r\n" + ok, 405, [allowed], True),
            ("a GET with a gigabyte body", "GET /metrics HTTP/1.1\r\n" + ok + "Content-Length: 1000000000\r\n",
             413, [], True),
            ("a chunked GET", "GET /metrics HTTP/1.1\r\n" + ok + "Transfer-Encoding: chunked\r\n", 413, [], True),
            ("not HTTP", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 400, [], True),
        ]
        for what, head, status, headers, closed in table:
            pieces = [piece.encode("latin-1") for piece in (head if isinstance(head, list) else [head])]
            got = self.exchange(server, pieces + [b"\r\n"])
            self.assertEqual((status, closed), (got[0], got[3]), what)
            for header in headers:
                name, _, value = header.partition(": ")
                self.assertEqual(value, got[1].get(name.lower()), (what, name))
        # A thousand ranges get the file once, whole: no amplification.
        ranges = "Range: bytes=" + ",".join(["0-"] * 1000) + "\r\n"
        status, headers, body, _ = self.exchange(server, ("GET /app.js HTTP/1.1\r\n" + ok + ranges + "\r\n")
                                                 .encode())
        self.assertEqual((200, script_size), (status, len(body)))
        status, headers, body, _ = self.exchange(server, ("HEAD /metrics HTTP/1.1\r\n" + ok + "\r\n").encode(),
                                                 body_expected=False)
        self.assertEqual((200, b"", True), (status, body, int(headers["content-length"]) > 0))

    def test_slow_idle_and_greedy_crowds_do_not_starve_a_scrape(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        server = self.serve("0")
        address = (server.host, server.port)
        slow = b"GET /metrics HTTP/1.1\r\nHost: localhost\r\nX-Slow: "
        greedy = (b"GET /app.js HTTP/1.1\r\nHost: localhost\r\n\r\n"
                  b"GET /api/history?seconds=86400 HTTP/1.1\r\nHost: localhost\r\n\r\n") * 20

        def second_head(sock):
            self.assertTrue(answered(sock))
            sock.sendall(slow)

        # (what, their client, how many, what each does first, trickles a head)
        table = [
            ("idle", "127.0.0.3", 1000, lambda sock: None, False),
            ("a head trickled", "127.0.0.4", 100, lambda sock: sock.sendall(slow), True),
            ("a kept-alive connection's second head trickled", "127.0.0.5", 5, second_head, True),
            ("40 requests for the page's script and the history, never read", "127.0.0.2", 1100,
             lambda sock: sock.sendall(greedy), False),
        ]
        crowds = []
        for what, client, count, start, _ in table:
            crowds.append([])
            self.addCleanup(lambda crowd=crowds[-1]: [sock.close() for sock in crowd])
            for _ in range(count):
                crowds[-1].append(connect(address, client))
                try:
                    start(crowds[-1][-1])
                except OSError:
                    pass  # it made room for a newer one already
        # All in: the server has taken the newest, and so let the oldest go.
        for (what, _, _, _, _), crowd in zip(table, crowds):
            wait_for(lambda: len(crowd) <= 128 or closed(crowd[-129]), 60, "the server to take all of: " + what)
        scraper = connect(address)  # kept alive, as Prometheus does
        self.addCleanup(scraper.close)
        for second in range(10):  # a header line a second, for twice as long as a head may take
            for (what, client, _, _, trickles), crowd in zip(table, crowds):
                for sock in crowd if trickles else []:
                    try:
                        sock.send(b"a\r\nX-Slow: ")
                    except OSError:
                        pass
                # A scraper among them: answered at once or on its first retry.
                self.assertTrue(scrape(address, client) or scrape(address, client), (what, second))
            self.assertTrue(answered(scraper), "second %d" % second)
            self.assertLess(rss_mib(server.process.pid), 64, "second %d" % second)
            time.sleep(1)
        # Their bytes did not extend the head's deadline.
        for (what, _, _, _, trickles), crowd in zip(table, crowds):
            if trickles:
                self.assertEqual([], [n for n, sock in enumerate(crowd) if not closed(sock)][:5], what)
        wait_for(lambda: all(closed(sock) for crowd in crowds for sock in crowd), 120,
                 "the server to close the idle and the greedy")  # their deadlines are 15 s; Wine under load is slow

    def test_room_is_made_from_the_oldest_at_the_cap_and_when_out_of_descriptors(self):
        if OPTIONS.runner:
            self.skipTest("limits on open files are Linux's")
        # (what, the clients' connections, kept alive, before a new client's)
        table = [
            ("a client's share", [("127.0.0.6", 17)], "127.0.0.6"),
            ("the cap", [("127.0.0.7", 17)] + [("127.0.0.%d" % n, 16) for n in range(8, 15)] + [("127.0.0.15", 7)],
             "127.0.0.16"),
        ]
        for what, clients, newcomer in table:
            server = self.serve("0", files=155)  # less stdio and the 16 kept: 136 connections, 17 from one client
            address = (server.host, server.port)
            crowds = [[connect(address, client) for _ in range(count)] for client, count in clients]
            self.addCleanup(lambda crowds=crowds: [sock.close() for crowd in crowds for sock in crowd])
            self.assertEqual([], [(n, m) for n, crowd in enumerate(crowds) for m, sock in enumerate(crowd) if not answered(sock)], what)
            crowds.append([connect(address, newcomer)])
            self.assertTrue(answered(crowds[-1][0]), what)
            # The oldest connection of the client holding most went, and only it.
            self.assertTrue(closed(crowds[0][0], within=5), what)
            self.assertTrue(answered(crowds[0][1]) and answered(crowds[0][-1]), what)
            server.stop()
        # Out of descriptors, the server frees one and goes on accepting.
        server = self.serve("0")
        address = (server.host, server.port)
        spare = len(os.listdir("/proc/%d/fd" % server.process.pid)) + 10
        resource.prlimit(server.process.pid, resource.RLIMIT_NOFILE, (spare, spare))
        crowd = [connect(address, "127.0.0.17") for _ in range(30)]
        self.assertTrue(answered(crowd[-1]) and scrape(address), "out of descriptors")
        for sock in crowd:
            sock.close()
        self.assertTrue(scrape(address), "after")
        # A limit of 64 open files and 200 clients (of 20 addresses) coming and
        # going: what is kept for the server's own work keeps every read whole
        # (each one an event on a stream read meanwhile) and vantorix_up at 1.
        self.monitor()
        server = self.serve("0", "--interval", "0.1", files=64)
        address, stop, ups = (server.host, server.port), threading.Event(), []

        def churn(first):  # 50 clients of 5 addresses, each connection left open until 50 newer ones are
            window = []
            for n in range(20000):  # bounded, and until the reads are in
                if stop.is_set():
                    break
                try:
                    window.append(connect(address, "127.0.1.%d" % (first + n % 5)))
                except OSError:
                    pass
                while len(window) > 50:
                    window.pop(0).close()
            for sock in window:
                sock.close()

        def listen():  # to the events, on a new connection when the last was dropped to make room
            streams.append(connect(address))
            streams[-1].sendall(b"GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n")
            return b""

        streams, events = [], []
        self.addCleanup(lambda: [sock.close() for sock in streams])
        data = listen()
        clients = [threading.Thread(target=churn, args=(1 + 5 * n,)) for n in range(4)]
        for thread in clients:
            thread.start()
        try:
            while len(events) < 40:  # 4 s of reads among the clients
                try:
                    chunk = streams[-1].recv(65536)
                except OSError:
                    chunk = b""
                *whole, data = (data + chunk).split(b"\n\n") if chunk else [listen()]
                events += [json.loads(event[6:]) for event in whole if event.startswith(b"data: ")]
                if len(ups) < len(events) // 10:
                    try:
                        ups.append(server.metric("vantorix_up"))
                    except OSError:
                        pass  # dropped to make room: asked again
        finally:
            stop.set()
            for thread in clients:
                thread.join()
        self.assertEqual([], [event.get("message") for event in events if not event["ok"]], "failed reads")
        self.assertEqual([1] * len(ups), ups)

    def test_connections_reset_before_they_are_taken_cost_no_one_else_theirs(self):
        server = self.serve("0")
        address = (server.host, server.port)
        scraper = connect(address)  # kept alive
        self.addCleanup(scraper.close)
        self.assertTrue(answered(scraper))
        # A flood from 127.0.0.2, each connection reset while the server is
        # stopped, so that every one is taken after its client left.
        def stopped():
            with open("/proc/%d/status" % server.process.pid) as status:
                return re.search(r"State:\s+T", status.read())

        server.process.send_signal(signal.SIGSTOP)
        self.addCleanup(server.process.send_signal, signal.SIGCONT)
        wait_for(stopped, 10, "the server to stop")
        for _ in range(200):
            with connect(address, "127.0.0.2") as sock:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        server.process.send_signal(signal.SIGCONT)
        self.assertTrue(scrape(address), "a new connection behind the flood")
        self.assertTrue(answered(scraper), "the kept-alive connection")

    def test_slow_readers_of_the_history_lock_no_one_out(self):
        # 900 reads of 256 cores whose numbers print long: a history file
        # (docs/serving.md: "The history file") of 1.9 MB and an answer of 6.9 MB,
        # more than a socket's buffers hold.
        now, value = int(time.time() * 1000) - 1000, -1.2345679e-38
        rows = b"".join(struct.pack("<qIf", now - (899 - i) * 1000, 256, 3000.0) + struct.pack("<512f", *[value] * 512)
                        for i in range(900))
        data = b"VANTHIST" + struct.pack("<IIIIq", 1, 900, 0, 0, now) + rows
        checksum = 14695981039346656037
        for byte in data:
            checksum = ((checksum ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
        path = os.path.join(self.scratch, "history")
        with open(path, "wb") as file:
            file.write(data + struct.pack("<Q", checksum))
        server = self.serve("0", "--history-file", path)
        readers = []
        self.addCleanup(lambda: [sock.close() for sock in readers])

        def stall(client, count):  # readers that never read
            for _ in range(count):
                readers.append(socket.socket())
                readers[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                readers[-1].bind((client, 0))
                readers[-1].connect((server.host, server.port))
                readers[-1].sendall(b"GET /api/history?seconds=3600 HTTP/1.1\r\nHost: localhost\r\n\r\n")

        def history_status(client="127.0.0.1"):
            connection = http.client.HTTPConnection(server.host, server.port, timeout=10, source_address=(client, 0))
            try:
                connection.request("GET", "/api/history?seconds=60")
                response = connection.getresponse()
                response.read()
                return response.status, response.getheader("Retry-After")
            finally:
                connection.close()

        # 8 answers in flight at most, a client's share 2: (what, stalled readers
        # started then, by client, who asks, the answer at once or soon)
        table = [
            ("a client whose stalled readers hold its share", [("127.0.0.2", 8)], "127.0.0.2", (503, "1"), False),
            ("another client, while they stall", [], "127.0.0.1", (200, None), True),
            ("every answer in flight held, by four clients", [("127.0.0.%d" % n, 2) for n in (3, 4, 5)],
             "127.0.0.1", (503, "1"), False),
        ]
        for what, stalled, client, answer, at_once in table:
            for address, count in stalled:
                stall(address, count)
            got = history_status(client) if at_once else wait_for(
                lambda: history_status(client) == answer and answer, 10, what)
            self.assertEqual(answer, got, what)
        self.assertIn(b"vantorix_up", get(server.url + "metrics")[1])
        for sock in readers:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
        wait_for(lambda: history_status() == (200, None), 30, "the history answered again")

    def test_a_taken_port_and_bad_addresses_are_refused(self):
        taken = "127.0.0.1:%d" % self.serve("0").port
        second = run("vantorix-info", "--serve", taken)
        self.assertEqual((2, True), (second.returncode, "cannot serve " + taken in second.stderr))
        for args in (["65536"], ["host:"], [":80"], ["::1:80"], ["[::1]"], ["80x"], ["0", "--count", "2"]):
            self.assertEqual(3, run("vantorix-info", "--serve", *args).returncode, args)
        self.assertEqual(3, run("vantorix-info", "--allow-host", "a.example").returncode)

    def test_prometheus_scrapes_the_temperature_then_the_outage(self):
        monitor = self.monitor("--generation", "4")  # five cores, Celsius, 4.0 + 0.25 per core
        server = self.serve("0")
        ports = []
        for _ in range(2):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                ports.append(probe.getsockname()[1])
        port, node_port = ports
        # The textfile route beside it: node_exporter with a page its cron job last wrote an hour ago.
        textfiles = os.path.join(self.scratch, "textfiles")
        os.mkdir(textfiles)
        with open(os.path.join(textfiles, "vantorix.prom"), "w") as page:
            # node_exporter is a Linux program: the Windows build's console lines end in CRLF.
            page.write(run("vantorix-info", "--prometheus").stdout.replace("\r\n", "\n"))
        os.utime(os.path.join(textfiles, "vantorix.prom"), (time.time() - 3600,) * 2)
        node = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % node_port,
                                 "--collector.disable-defaults", "--collector.textfile",
                                 "--collector.textfile.directory=" + textfiles], stderr=subprocess.DEVNULL)
        self.addCleanup(node.wait, 30)
        self.addCleanup(node.terminate)
        config = os.path.join(self.scratch, "prometheus.yml")
        with open(config, "w") as file:
            file.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: ['%s']\n"
                       "scrape_configs: [{job_name: vantorix, static_configs: [{targets: ['127.0.0.1:%d']}]},\n"
                       "                 {job_name: node, static_configs: [{targets: ['127.0.0.1:%d']}]}]\n"
                       % (RULES, server.port, node_port))
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.scratch, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port, "--log.level=error"], stderr=subprocess.DEVNULL)
        self.addCleanup(prometheus.wait, 30)
        self.addCleanup(prometheus.terminate)

        def query(expression, label="core"):
            try:
                answer = json.loads(get("http://127.0.0.1:%d/api/v1/query?query=%s" % (port, expression))[1])
            except (OSError, ValueError):  # not up yet: refused, or an empty answer while it starts
                return None
            return {item["metric"].get(label): float(item["value"][1]) for item in answer["data"]["result"]}

        alerts = lambda name, label="core": query(urllib.parse.quote('ALERTS{alertname="%s"}' % name), label)
        temperatures = {str(core): 4 + core * 0.25 for core in range(5)}
        served = lambda name: query(urllib.parse.quote(name + '{job="vantorix"}'))  # not the textfile's
        wait_for(lambda: served("vantorix_core_temperature_celsius") == temperatures, 60, "the scraped temperatures")
        # The shipped rules on the served names: core 0 is at its TjMax of 4, the others far below theirs:
        # one alert, the processor's, and none from the textfile's same readings, which are an hour old.
        wait_for(lambda: alerts("VantorixCoreNearTjMax", "cpu") == {"Stand-in CPU, generation 4": 1}, 30,
                 "the processor's alert to be pending")
        wait_for(lambda: alerts("VantorixTextfileStale", "job") == {"node": 1}, 30, "the stale textfile's alert")
        self.assertEqual({"vantorix": 1}, alerts("VantorixCoreNearTjMax", "job"))
        monitor.terminate()
        wait_for(lambda: served("vantorix_up") == {None: 0}, 30, "Prometheus to scrape vantorix_up 0")
        wait_for(lambda: alerts("VantorixMonitorDown") == {None: 1}, 30, "the monitor's alert to be pending")

    def test_events_push_each_read_and_drop_a_client_that_does_not_read(self):
        self.monitor("--synthetic", "--cores", "256", "--rate", "20")
        # Five big events a second: a reader the loaded machine holds up for a
        # while still keeps within the two events a stream may fall behind.
        server = self.serve("0", "--interval", "0.2")
        request = b"GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n"
        # A client that does not read, with a small window: its descriptor in
        # the server must go while another client is served.
        descriptors = lambda: len(os.listdir("/proc/%d/fd" % server.process.pid)) if not OPTIONS.runner else 0
        before = descriptors()
        quiet = socket.socket()
        self.addCleanup(quiet.close)
        quiet.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        quiet.connect((server.host, server.port))
        quiet.sendall(request)
        if not OPTIONS.runner:
            wait_for(lambda: descriptors() > before, 10, "the stream that is not read to open")
        # A reader gets the latest reading at once, then one per read, in order,
        # on one connection for as long as it reads: past the write deadline
        # (10 s), which bounds each event's write alone, while the one that
        # does not read is dropped.
        reads = server.metric("vantorix_reads_total")
        with socket.create_connection((server.host, server.port), timeout=10) as sock:
            sock.sendall(request)
            head, data, events, dropped, opened = None, b"", [], OPTIONS.runner, time.monotonic()
            while len(events) < 5 or time.monotonic() - opened < 12 or not dropped:
                self.assertLess(time.monotonic() - opened, 60, "%d events, dropped: %s" % (len(events), dropped))
                chunk = sock.recv(65536)
                self.assertTrue(chunk, "the stream was closed after %d events" % len(events))
                data += chunk
                if head is None and b"\r\n\r\n" in data:
                    head, _, data = data.partition(b"\r\n\r\n")
                *whole, data = data.split(b"\n\n") if head is not None else [data]
                events += [json.loads(event[6:]) for event in whole if event.startswith(b"data: ")]
                dropped = dropped or descriptors() <= before + 1  # the reader's own
            reads = server.metric("vantorix_reads_total") - reads
        self.assertIn(b"Content-Type: text/event-stream", head)
        self.assertNotIn(b"Content-Length", head)
        stamps = [event["timestamp"] for event in events]
        self.assertEqual(sorted(set(stamps)), stamps, "one event per read, in order")
        self.assertGreaterEqual(len(events), reads - 3, "every read's event")
        self.assertEqual([256] * 5, [len(event["temp"]) for event in events[:5]])
        self.assertIsNotNone(server.metric("vantorix_up"))

    def browser(self):
        if OPTIONS.no_browser:
            self.skipTest("the same page and server code are shown in Chromium by the x86-64 build")
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/lib/chromium/chromium"
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--user-data-dir=" + os.path.join(self.scratch, "profile")):
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.set_page_load_timeout(30)
        return browser

    def test_chromium_shows_every_core_at_every_width(self):
        browser = self.browser()
        for cores in (4, 64, 256):
            monitor = self.monitor("--synthetic", "--cores", str(cores), "--rate", "2")
            server = self.serve("0")
            if OPTIONS.screenshots:
                wait_for(lambda: server.metric("vantorix_reads_total") >= OPTIONS.screenshot_reads,
                         OPTIONS.screenshot_reads * 2 + 60, "the history to show in the screenshots")
            for width, height in ((1280, 800), (390, 844)):
                what = "%d cores, %d px" % (cores, width)
                browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 500})
                browser.get(server.url + "#300")
                wait_for(lambda: browser.execute_script(
                    "return document.getElementById('status').textContent === 'live' && "
                    "document.querySelectorAll('#summary tbody tr').length === %d" % min(cores, 8)), 20, what)
                # Every core named by a hover once the history is in.
                facts = lambda: browser.execute_script(PAGE_FACTS, cores)
                try:
                    page = wait_for(lambda: not facts()["unreachable"] and facts(), 20, what)
                except AssertionError:
                    self.fail("%s: cores no hover names: %s" % (what, facts()["unreachable"][:10]))
                self.assertEqual([], page["overlaps"], what)
                self.assertLessEqual(page["width"], width, what)
                self.assertIn("core %d" % page["hottest"], page["hottest_fact"], what)
                self.assertRegex(page["title"], r"^\d+\.\d °C · Stand-in CPU", what)
                if cores > 8 and width > 1000:
                    self.assertLessEqual(page["height"], height, what + ": higher than the screen")
                if OPTIONS.screenshots:
                    name = "serve" + ("" if cores == 4 else "-%d" % cores) + ("-phone" if width < 500 else "")
                    browser.save_screenshot(os.path.join(OPTIONS.screenshots, name + ".png"))
                # The full table, a click away, in one instant with the summary.
                browser.find_element(By.ID, "all-label").click()
                table = wait_for(lambda: browser.execute_script(FULL_TABLE, cores), 10, what + ": the full table")
                self.assertEqual(max(table["temps"]), table["first"], what)
                browser.find_element(By.ID, "all-label").click()  # closed again for the next width
            browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
            # The range follows the address.
            browser.execute_script("location.hash = '#86400'")
            wait_for(lambda: browser.execute_script(
                "return document.querySelector('[data-seconds=\"86400\"]').getAttribute('aria-pressed') === 'true'"
                " && document.getElementById('peak-label').textContent.endsWith('24 h')"), 10, "the range 24 h")
            monitor.terminate()
            monitor.wait()
            server.stop()

    def test_chromium_banner_says_how_hot_and_how_stale(self):
        browser = self.browser()
        # (what, core temperatures or no monitor, server options, banner class, its text, icon, title's start);
        # 0 is a temperature not reported: a machine without sensors.
        table = [
            ("live", [50, 60], [], "ok", "live", "/favicon.svg", "60.0 °C"),
            ("no sensor", [0, 0], [], "plain", "live, without temperatures", "/favicon.svg", "Banner CPU"),
            ("warm", [50, 85], [], "warm", "warm: core 1 is 15.0 °C below TjMax", "/favicon-amber.svg", "warm · 85.0"),
            ("hot", [50, 93], [], "hot", "hot: core 1 is 7.0 °C below TjMax", "/favicon-red.svg", "hot · 93.0"),
            ("stale", [50, 60], ["--unchanged-after", "1"], "stale", "unchanged for", "/favicon-amber.svg",
             "stale · 60.0"),
            ("no monitor", None, [], "down", "monitor not running", "/favicon-red.svg", "monitor not running"),
        ]
        for what, temps, args, state, text, icon, title in table:
            monitor = None
            if temps is not None:
                path = os.path.join(self.scratch, what + ".record")
                with open(path, "wb") as file:
                    file.write(record(temps))
                monitor = self.monitor("--record", path)
            server = self.serve("0", *args)
            browser.get(server.url)
            shown = lambda: browser.execute_script(
                "const s = document.getElementById('status');"
                "return [s.className, s.textContent, document.getElementById('icon').getAttribute('href'),"
                " document.title];")
            try:
                wait_for(lambda: shown()[0] == "status " + state and text in shown()[1], 20, what)
            except AssertionError:
                self.fail("%s: %s" % (what, shown()))
            self.assertEqual(icon, shown()[2], what)
            self.assertTrue(shown()[3].startswith(title), (what, shown()))
            if what == "no sensor":  # the load per core, and no empty temperature cells or cards
                self.assertEqual([[["0", "50 %"], ["1", "50 %"]], 0], browser.execute_script(NO_SENSOR_SHOWN))
            if what == "live":  # a new server's seconds of history fill the 1 h chart, every time label whole
                edges = lambda: browser.execute_script(LOAD_CHART_EDGES)
                try:
                    wait_for(lambda: edges()[0] < 0.25, 20, "the load chart's line to reach its left quarter")
                except AssertionError:
                    self.fail("%s: the leftmost line column, as a share of the width, and a label at the edge: %s"
                              % (what, edges()))
                self.assertFalse(edges()[1], "a time label cut at the left edge")
            server.stop()
            if monitor:
                monitor.terminate()
                monitor.wait()

    def test_chromium_shows_each_record_fixture(self):
        browser = self.browser()
        for name, path, expected in records.fixtures():
            with self.subTest(name):
                monitor = self.monitor("--record", path)
                server = self.serve("0")
                try:
                    browser.get(server.url + "#300")  # the range whose text is updated most often
                    browser.find_element(By.ID, "all-label").click()  # the full table
                    shown = lambda: browser.execute_script(PAGE_SHOWN)
                    try:
                        wait_for(lambda: shown() == expected["page"], 20, name)
                    except AssertionError:
                        self.assertEqual(expected["page"], shown())
                finally:
                    server.stop()
                    monitor.terminate()
                    monitor.wait()


# What the page shows, read at one instant: boxes that overlap, the widest
# and highest extent, the cores a hover or tap on the heat strip does not
# name (up to 8 cores: the lines' legend), and the hottest core.
PAGE_FACTS = """
const cores = arguments[0];
const boxes = [...document.querySelectorAll('header, .facts > div, nav.range, .side section, .charts section')]
  .filter((e) => e.offsetParent).map((e) => [e.id || e.className || e.tagName, e.getBoundingClientRect()]);
const overlaps = [];
boxes.forEach(([a, r], i) => boxes.slice(i + 1).forEach(([b, q]) => {
  if (Math.min(r.right, q.right) - Math.max(r.left, q.left) > 1 && Math.min(r.bottom, q.bottom) - Math.max(r.top, q.top) > 1)
    overlaps.push(a + ' / ' + b);
}));
const unreachable = [];
if (cores > 8) {
  const canvas = document.getElementById('heat-chart'), box = canvas.getBoundingClientRect();
  for (let core = 0; core < cores; ++core) {
    // A mouse is at whole pixels: the first one in the core's row.
    const y = Math.ceil(box.top + core * box.height / cores + 0.001);
    canvas.dispatchEvent(new MouseEvent('mousemove', {clientX: Math.floor(box.right) - 2, clientY: y}));
    if (!document.getElementById('tip').textContent.startsWith('core ' + core + ',')) unreachable.push(core);
  }
} else {
  const legend = document.getElementById('temp-legend').textContent;
  for (let core = 0; core < cores; ++core) if (!legend.includes('core ' + core)) unreachable.push(core);
}
const first = document.querySelector('#summary tbody tr');
const hottest = Number(first.cells[0].textContent);
return {overlaps, unreachable, width: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight,
        hottest, hottest_temp: parseFloat(first.cells[1].textContent), title: document.title,
        hottest_fact: document.getElementById('hottest').textContent};
"""

NO_SENSOR_SHOWN = """
return [[...document.querySelectorAll('#summary tbody tr')].map((r) => [...r.cells].filter((c) => c.offsetParent)
          .map((c) => c.textContent)), [...document.querySelectorAll('.hot-fact')].filter((e) => e.offsetParent).length];
"""

# The load chart's leftmost drawn column of its plot, as a share of its
# width, and whether its label row has ink in its first two columns.
LOAD_CHART_EDGES = """
const canvas = document.getElementById('load-chart'), width = canvas.width, height = canvas.height;
const labels = height - Math.round(14 * Math.min(2, window.devicePixelRatio || 1));
const data = canvas.getContext('2d').getImageData(0, 0, width, height).data;
let left = width, cut = false;
for (let y = 0; y < height; ++y) for (let x = 0; x < width; ++x) {
  if (data[(y * width + x) * 4 + 3] < 128) continue;
  if (y < labels) left = Math.min(left, x); else if (x < 2) cut = true;
}
return [left / width, cut];
"""

FULL_TABLE = """
const rows = document.querySelectorAll('#cores tbody tr');
if (rows.length !== arguments[0]) return null;
return {temps: [...rows].map((r) => parseFloat(r.cells[1].textContent)),
        first: parseFloat(document.querySelector('#summary tbody tr').cells[1].textContent)};
"""

# The page's texts for one reading: the banner, the facts, and each table's
# rows with their level.
PAGE_SHOWN = """
const text = (id) => document.getElementById(id).textContent;
const rows = (table) => [...document.querySelectorAll(table + ' tbody tr')]
  .map((r) => [r.className, ...[...r.cells].map((c) => c.textContent)]);
return {status: text('status'), title: document.title, summary: rows('#summary'), cores: rows('#cores'),
        facts: ['name', 'cpu_total', 'core_total', 'cpu_clock', 'fsb_clock', 'clock_multiplier', 'vid_value',
                'hottest', 'temp-title'].map(text)};
"""


def record(temps, tj_max=100, name=b"Banner CPU"):
    """A monitor's record: a core per temperature, each at 50 % load."""
    cores = len(temps)
    return struct.pack("<256i128iii256f4f100sBB2x", *([50] * cores + [0] * (256 - cores)),
                       *([tj_max] * cores + [0] * (128 - cores)), cores, 1, *(list(temps) + [0.0] * (256 - cores)),
                       1.2, 3600.0, 100.0, 36.0, name, 0, 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--runner", help="runs each program (wine-run.sh)")
    parser.add_argument("--suffix", default="", help="the programs' suffix (.exe)")
    parser.add_argument("--no-browser", action="store_true", help="leave Chromium to another build of the same code")
    parser.add_argument("--screenshots", help="save the live page into this folder (docs): serve.png, serve-64.png and "
                        "serve-256.png at 1280 px, and each at a phone's width as NAME-phone.png")
    parser.add_argument("--screenshot-reads", type=int, default=0, help="reads of history before each")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
