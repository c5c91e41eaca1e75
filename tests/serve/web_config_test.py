#!/usr/bin/env python3
"""vantorix-info --serve --web-config: a file that cannot be used is refused
before serving, naming the problem; a real Prometheus scrapes over TLS with
basic auth and a client certificate, all made here with openssl, while wrong
credentials get 401 and plain HTTP on the TLS port only ends its own
connection; a flood of guesses locks no other client out, and SIGTERM does
not wait for a password check."""
import argparse
import base64
import ctypes
import http.client
import json
import os
import re
import resource
import select
import selectors
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from serving import SECRET_HASH, free_port, make_certificates
from waiting import wait_until

OPTIONS = None
SECRET_HASH_10 = "$2b$10$sZuADW5coNsVp0zKqyP3.uY2q.TLXkINF.bOXOwvdH6I46zK.7Z8a"  # the same, cost 10
SECRET_HASH_14 = "$2b$14$9cAtlFxGEDSt9oQutP6Tfe7Rtl.SO3iiOi5vPRbtrdfWzYMbqKDQS"  # cost 14, the most taken


def program(name):
    return os.path.join(OPTIONS.bin, name)


def basic(credentials):
    return "Basic " + base64.b64encode(credentials.encode()).decode()


class Flood:
    """`count` connections from `source` that guess `user`'s password, each guessing again on a new connection
    once the last is answered (and reset then: no TIME_WAIT), a second later after a 429's Retry-After or when
    the server dropped it (one client holds an eighth of the server's connections at most), until stop() or
    `limit` connections. The pause keeps the checks' queue full without making the test a load test of the
    serving thread."""

    def __init__(self, port, source, count, user, limit=40000):
        self.port, self.source, self.user, self.limit = port, source, user, limit
        self.selector = selectors.DefaultSelector()
        self.later = []  # when to open a connection again, after a 429
        self.opened = 0
        self.statuses = {}  # status -> how many answers
        self.kept_open = 0  # answers of a failed check that did not end the connection
        self.retry_after = 0  # 429s that say when to come back
        for _ in range(count):
            self.open()

    def open(self):
        if self.opened >= self.limit:
            return
        self.opened += 1
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT: the port is picked per destination
        sock.bind((self.source, 0))
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", self.port))
        request = ("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: %s\r\n\r\n"
                   % basic("%s:guess%d" % (self.user, self.opened))).encode()
        self.selector.register(sock, selectors.EVENT_WRITE, [request, b""])

    def run(self, seconds):
        while self.later and self.later[0] <= time.time():
            self.later.pop(0)
            self.open()
        for key, events in self.selector.select(seconds):
            sock, state = key.fileobj, key.data
            try:
                if events & selectors.EVENT_WRITE:
                    sock.send(state[0])
                    self.selector.modify(sock, selectors.EVENT_READ, state)
                    continue
                data = sock.recv(65536)
            except OSError:
                data = b""
            state[1] += data
            head = state[1].partition(b"\r\n\r\n")
            if data and not head[1]:
                continue
            if head[1]:
                status = int(head[0].split(b" ")[1])
                self.statuses[status] = self.statuses.get(status, 0) + 1
                lower = head[0].lower()
                self.kept_open += status == 401 and b"connection: close" not in lower
                self.retry_after += status == 429 and b"retry-after: " in lower
            self.selector.unregister(sock)
            sock.close()
            if not head[1] or status == 429:  # told to wait, or dropped to make room for another client
                self.later.append(time.time() + 1)
            else:
                self.open()

    def stop(self):
        for key in list((self.selector.get_map() or {}).values()):
            key.fileobj.close()
        self.selector.close()


class WebConfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp()
        make_certificates(cls.scratch)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, True)

    def write(self, name, text):
        path = os.path.join(self.scratch, name)
        with open(path, "w") as file:
            file.write(text)
        return path

    def start(self, name, command):
        """A program whose stderr is kept, and printed at the end (ctest shows it when the test fails)."""
        log = open(os.path.join(self.scratch, name + ".log"), "w+")
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True)
        self.addCleanup(lambda: log.seek(0) or print("--- %s:\n%s" % (name, log.read())) or log.close())
        self.addCleanup(lambda: process.kill() or process.communicate())
        self.addCleanup(lambda: process.terminate() or process.wait(30))
        return process

    def serve(self, config_text, scheme="https"):
        """A server on a free port with `config_text` as its web config; its port."""
        self.servers = getattr(self, "servers", 0) + 1
        config = self.write("web-%d.yml" % self.servers, config_text)
        server = self.start("vantorix-info", [program("vantorix-info"), "--serve", "0", "--web-config", config])
        ready = select.select([server.stdout], [], [], 20)[0]
        found = re.search(scheme + r"://127\.0\.0\.1:(\d+)/", server.stdout.readline() if ready else "")
        self.assertTrue(found, "the server did not start")
        return server, int(found.group(1))

    def request(self, port, authorization=None, certificate=True, tls12=False):
        context = ssl.create_default_context(cafile=os.path.join(self.scratch, "ca.pem"))
        if certificate:
            context.load_cert_chain(os.path.join(self.scratch, "client.pem"), os.path.join(self.scratch, "client.key"))
        if tls12:
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        connection = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=10)
        try:
            connection.request("GET", "/metrics", headers={"Authorization": authorization} if authorization else {})
            response = connection.getresponse()
            return response.status, response.getheader("WWW-Authenticate"), response.read()
        finally:
            connection.close()

    def test_prometheus_scrapes_over_tls_with_basic_auth_and_a_client_certificate(self):
        tls = "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n  min_version: TLS13\n" \
              "  client_auth_type: %s\n  client_ca_file: ca.pem\nbasic_auth_users:\n  prom: '%s'\n  scrape: '%s'\n"
        # A certificate only if given: a client without one is served too.
        server, port = self.serve(tls % ("VerifyClientCertIfGiven", SECRET_HASH, SECRET_HASH))
        for certificate in (False, True):
            self.assertEqual(200, self.request(port, basic("prom:secret"), certificate)[0], certificate)
        server.terminate()
        server.wait(30)

        server, port = self.serve(tls % ("RequireAndVerifyClientCert", SECRET_HASH, SECRET_HASH))

        # Plain HTTP on the TLS port ends only that connection.
        with socket.create_connection(("127.0.0.1", port), timeout=10) as plain:
            plain.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            answer = b"".join(iter(lambda: plain.recv(4096), b""))
        self.assertNotIn(b"HTTP/1.1", answer)
        for authorization, certificate, tls12, status in (
            (basic("prom:secret"), True, False, 200),
            (basic("scrape:secret"), True, False, 200),  # 13 bytes: base64 ends in "=="
            (basic("prom:secret\0x"), True, False, 401),  # bcrypt would stop at the zero byte
            (basic("prom:wrong"), True, False, 401),
            (basic("nobody:secret"), True, False, 401),
            (None, True, False, 401),
            ("Bearer secret", True, False, 401),
            (basic("prom:secret"), False, False, None),  # no client certificate: refused in the handshake
            (basic("prom:secret"), True, True, None),  # below min_version
            (basic("prom:secret"), True, False, 200),  # and the server still serves
        ):
            row = (authorization, certificate, tls12)
            if status is None:
                with self.assertRaises((OSError, http.client.HTTPException), msg=row):
                    self.request(port, authorization, certificate, tls12)
                continue
            answer, challenge, body = self.request(port, authorization, certificate, tls12)
            self.assertEqual(status, answer, row)
            if status == 401:
                self.assertRegex(challenge or "", r"^Basic realm=", row)
            else:
                self.assertIn(b"vantorix_up", body)

        prometheus_port = free_port()
        job = ("{job_name: %s, scheme: https, basic_auth: {username: prom, password: %s}, tls_config: "
               "{ca_file: ca.pem, cert_file: client.pem, key_file: client.key}, "
               "static_configs: [{targets: ['127.0.0.1:%d']}]}")
        prometheus_config = self.write("prometheus.yml", "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                                       "scrape_configs: [%s, %s]\n" % (job % ("vantorix", "secret", port),
                                                                          job % ("wrong", "wrong", port)))
        self.start("prometheus", ["prometheus", "--config.file=" + prometheus_config, "--log.level=warn",
                                  "--storage.tsdb.path=" + os.path.join(self.scratch, "tsdb"),
                                  "--web.listen-address=127.0.0.1:%d" % prometheus_port])

        up, deadline = None, time.time() + 60
        while up != {"vantorix": "1", "wrong": "0"}:  # the target is up with the password, down without
            self.assertLess(time.time(), deadline, "Prometheus' up after 60 s: %s" % up)
            time.sleep(0.2)
            try:
                url = "http://127.0.0.1:%d/api/v1/query?query=up" % prometheus_port
                with urllib.request.urlopen(url, timeout=10) as response:
                    result = json.loads(response.read())["data"]["result"]
                up = {item["metric"]["job"]: item["value"][1] for item in result}
            except OSError:
                pass

    def test_password_floods_lock_nobody_out(self):
        """1,030 connections guess passwords from 127.0.0.2, at cost 14. A right password not yet remembered,
        from 127.0.0.3, waits for the check in progress and one of theirs, not for their queue of 16; a scraper
        whose password was remembered is answered every time."""
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        users = "".join("  %s: '%s'\n" % (user, SECRET_HASH_10)
                        for user in ["prom"] + ["new%d" % n for n in range(5)]) + "  slow: '%s'\n" % SECRET_HASH_14
        server, port = self.serve("basic_auth_users:\n" + users, "http")
        headers = lambda user: {"Authorization": basic(user + ":secret"), "Host": "127.0.0.1"}
        scraper = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        started = time.time()
        scraper.request("GET", "/metrics", headers=headers("prom"))
        self.assertEqual(200, scraper.getresponse().read() and 200)
        alone = time.time() - started

        flood = Flood(port, "127.0.0.2", 1030, "slow")
        self.addCleanup(flood.stop)
        waits, scrapes, done = [], [], threading.Event()

        def sign_in():  # each user's first request: bcrypt, behind the flood
            for user in ["new%d" % n for n in range(5)]:
                if done.is_set():
                    return
                wait_until(lambda: flood.statuses.get(429, 0) >= 1000 or done.is_set(),  # the guesses' queue is full
                           "the guesses' queue to be full")
                before = flood.statuses.get(401, 0)
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=("127.0.0.3", 0))
                started = time.time()
                connection.request("GET", "/metrics", headers=headers(user))
                status = connection.getresponse().status
                waits.append((status, flood.statuses.get(401, 0) - before, time.time() - started))
                connection.close()

        def scrape():  # kept alive; a connection the server closed while idle is opened again, as Prometheus does
            nonlocal scraper
            while not done.is_set():
                for attempt in (0, 1):
                    try:
                        scraper.request("GET", "/metrics", headers=headers("prom"))
                        response = scraper.getresponse()
                        response.read()
                        scrapes.append((response.status, attempt))
                        break
                    except (OSError, http.client.HTTPException) as error:
                        scraper.close()
                        scraper = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
                        if attempt:
                            scrapes.append((repr(error), attempt))
                time.sleep(0.2)

        threads = [threading.Thread(target=sign_in), threading.Thread(target=scrape)]
        for thread in threads:
            thread.start()
        deadline = time.time() + 120
        while threads[0].is_alive() and time.time() < deadline and flood.opened < flood.limit:
            flood.run(0.1)
        done.set()  # (a sign-in still waiting for its answer ends with the server)
        flood.stop()
        for thread in threads:
            thread.join(120)
        scraper.close()
        print("figure: a right password alone %.2f s; from another address under the flood: (status, guesses "
              "answered meanwhile, seconds) %s; scrapes %d, on a reopened connection %d; guesses' answers %s over "
              "%d connections" % (alone, [(status, guesses, round(seconds, 2)) for status, guesses, seconds in waits],
                                  len(scrapes), sum(attempt for _, attempt in scrapes), flood.statuses, flood.opened))
        self.assertEqual(5, len(waits), "the right passwords were not all answered while the flood ran")
        for status, guesses, _ in waits:
            self.assertEqual(200, status)
            self.assertLessEqual(guesses, 8, "a right password waited behind the guesses' queue: %s" % waits)
        self.assertTrue(scrapes)
        self.assertEqual([200] * len(scrapes), [status for status, _ in scrapes])
        self.assertEqual(0, flood.kept_open, "a failed check left its connection open")
        self.assertGreater(flood.retry_after, 0)

    def test_connections_waiting_for_checks_make_room(self):
        """1,040 connections from 65 addresses, 16 each, wait for checks at cost 14 (minutes of bcrypt):
        a scraper whose password was remembered still gets in and is answered."""
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        server, port = self.serve("basic_auth_users:\n  prom: '%s'\n  slow: '%s'\n" % (SECRET_HASH, SECRET_HASH_14),
                                  "http")
        scrape = lambda: self.plain_request(port, basic("prom:secret"))
        self.assertEqual(200, scrape())
        guesses = []
        self.addCleanup(lambda: [guess.close() for guess in guesses])
        for number in range(65 * 16):
            guess = socket.socket()
            guess.bind(("127.0.0.%d" % (2 + number // 16), 0))
            guess.connect(("127.0.0.1", port))
            guess.sendall(("GET / HTTP/1.1\r\nAuthorization: %s\r\n\r\n" % basic("slow:guess")).encode())
            guesses.append(guess)
        def sockets():
            count = 0
            for fd in os.listdir("/proc/%d/fd" % server.pid):
                try:
                    count += os.readlink("/proc/%d/fd/%s" % (server.pid, fd)).startswith("socket:")
                except OSError:  # closed meanwhile
                    pass
            return count
        # The server holds as many connections as it takes.
        wait_until(lambda: sockets() >= 1024, "the server to hold 1,024 sockets", 60)
        self.assertEqual(200, scrape())

    def plain_request(self, port, authorization):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            connection.request("GET", "/metrics", headers={"Authorization": authorization})
            return connection.getresponse().status
        finally:
            connection.close()

    def test_sigterm_does_not_wait_for_a_password_check(self):
        server, port = self.serve("basic_auth_users:\n  prom: '%s'\n" % SECRET_HASH_14, "http")
        guess = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.addCleanup(guess.close)
        def cpu():  # the server's CPU time, in ticks
            with open("/proc/%d/stat" % server.pid) as stat:
                return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))
        before = cpu()
        guess.sendall(("GET / HTTP/1.1\r\nAuthorization: %s\r\n\r\n" % basic("prom:wrong")).encode())
        while cpu() < before + 5:  # the check runs
            time.sleep(0.01)
        # The server must be gone before a bcrypt of a quarter of its check's cost, begun now, is done.
        crypt = ctypes.CDLL("libcrypt.so.1").crypt
        crypt.restype = ctypes.c_char_p
        reference = threading.Thread(target=crypt, args=(b"wrong", SECRET_HASH_14.replace("$14$", "$12$").encode()))
        server.terminate()
        started = time.time()
        reference.start()
        while reference.is_alive() and server.poll() is None:
            time.sleep(0.01)
        print("figure: exit %.2f s after SIGTERM during a cost-14 check" % (time.time() - started))
        self.assertEqual(0, server.poll(), "the server still ran its check when a shorter one was done")
        reference.join()

    def test_a_file_that_cannot_be_used_is_refused_naming_the_problem(self):
        tls = "tls_server_config: {cert_file: server.pem, key_file: server.key%s}\n"
        fifo = os.path.join(self.scratch, "fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        unusable = []  # a directory, a FIFO and a device, as the file and as each file it names
        for path, kind in ((self.scratch, "a directory"), (fifo, "a FIFO"), ("/dev/zero", "a device")):
            unusable.append((path, "%s is %s, not a regular file" % (path, kind)))
            verify = "client_auth_type: RequireAndVerifyClientCert, client_ca_file: "
            for key, text in (("cert_file", "tls_server_config: {cert_file: %s, key_file: server.key}\n"),
                              ("key_file", "tls_server_config: {cert_file: server.pem, key_file: %s}\n"),
                              ("client_ca_file", tls % (", " + verify + "%s"))):
                unusable.append((text % path, ":1: %s %s is %s, not a regular file" % (key, path, kind)))
        users = "".join("  user%d: '%s'\n" % (number, SECRET_HASH) for number in range(1001))
        for text, expected in (
            *unusable,
            ("basic_auth_users:\nbasic_auth_users:\n  prom: '%s'\n" % SECRET_HASH,
             ":2: key 'basic_auth_users' is given twice (first at line 1)"),
            ("basic_auth_users:\n  prom: '%s'\n  'prom': '%s'\n" % (SECRET_HASH, SECRET_HASH),
             ":3: key 'prom' is given twice (first at line 2)"),
            ("basic_auth_users:\n  prom: '%s'\n" % SECRET_HASH_14.replace("$14$", "$15$"),
             ":2: the hash of user 'prom' has cost 15, above 14"),
            ("basic_auth_users:\n" + users, ":2: basic_auth_users has 1001 users, more than the 1000"),
            ("#" * (1 << 20) + "\n", "web.yml is larger than 1024 KiB"),
            ("basic_auth_users: {}\n---\nbasic_auth_users: {}\n", ":2: a second document"),
            (tls % ", cert: x", "unknown key 'cert' in tls_server_config"),
            (tls % ", min_version: TLS11", ":1: min_version 'TLS11' is not TLS12 or TLS13"),
            ("tls_server_config: {cert_file: absent.pem, key_file: server.key}\n",
             "cannot read cert_file %s/absent.pem: No such file" % self.scratch),
            ("tls_server_config: {cert_file: server.pem, key_file: client.key}\n",
             "key_file %s/client.key holds no private key of cert_file's" % self.scratch),
            (tls % ", client_auth_type: RequireAndVerifyClientCert", "needs client_ca_file"),
            (tls % ", client_auth_type: RequireAnyClientCert", "client_auth_type 'RequireAnyClientCert' is not"),
            ("basic_auth_users:\n  prom: secret\n", ":2: the hash of user 'prom' is not a bcrypt hash"),
            ("basic_auth_users: [prom]\n", "basic_auth_users must be a map"),
            ("tls_server_config: {cert_file: server.pem\n", "web.yml:2:"),
            (None, "cannot read %s/absent.yml: No such file" % self.scratch),
        ):
            config = self.write("web.yml", text) if text is not None and "\n" in text else text
            config = config or os.path.join(self.scratch, "absent.yml")
            # Refused without waiting for the FIFO: a writer never comes.
            result = subprocess.run([program("vantorix-info"), "--serve", "0", "--web-config", config],
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual((3, ""), (result.returncode, result.stdout), (str(text)[:200], result.stderr))
            self.assertIn(expected, result.stderr, str(text)[:200])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
