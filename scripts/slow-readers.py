#!/usr/bin/env python3
"""Slow readers and connection floods against vantorix-info --serve, on
loopback: the figures in docs/reliability.md ("Crowds that never read").

    scripts/slow-readers.py --bin build/linux/bin [--connections 1100]
    scripts/slow-readers.py --bin build/mingw-x64/bin --runner build/mingw-x64/wine-run.sh --suffix .exe --flood 15

An attacker on 127.0.0.2 opens CONNECTIONS connections, each pipelining 40
requests for the page's script (app.js) and /api/history, and never reads; then,
with --flood S, opens and resets new connections as fast as it can for S
seconds. Meanwhile a Prometheus-like scraper on 127.0.0.1 scrapes /metrics
every half second over one kept-alive connection (10 s timeout, a new
connection after a failure), and a scraper on the attacker's own address
scrapes on a new connection each time, retrying at once when refused. The
server's resident memory is read from /proc/PID/status throughout. Run it
in a private /dev/shm (as every test here)."""
import argparse
import http.client
import os
import re
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from waiting import wait_until  # noqa: E402

PIPELINE = (b"GET /app.js HTTP/1.1\r\nHost: localhost\r\n\r\n"
            b"GET /api/history?seconds=86400 HTTP/1.1\r\nHost: localhost\r\n\r\n") * 20


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def non_reader(address, source):
    """A connection that asks for much and reads nothing; None if refused."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.settimeout(5)
    try:
        sock.bind((source, 0))
        sock.connect(address)
        sock.sendall(PIPELINE)
        return sock
    except OSError:
        sock.close()
        return None


def flood(address, source, seconds):
    """New connections as fast as one process opens them, without waiting
    for each: each reset once 200 newer ones are under way. Their count."""
    opened, end, window = 0, time.time() + seconds, []
    while time.time() < end:
        sock = socket.socket()
        sock.setblocking(False)
        # Reset when closed: no TIME_WAIT to run the address out of ports.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.bind((source, 0))
        sock.connect_ex(address)
        window.append(sock)
        opened += 1
        if len(window) > 200:
            window.pop(0).close()
    for sock in window:
        sock.close()
    return opened


def scrape(address, source, connection=None):
    """One scrape of /metrics, on `connection` (kept alive) or a new one: the
    connection, or None when it was not answered."""
    connection = connection or http.client.HTTPConnection(*address, timeout=10, source_address=(source, 0))
    try:
        connection.request("GET", "/metrics")
        response = connection.getresponse()
        if response.status == 200 and b"vantorix_up" in response.read():
            return connection
    except (OSError, http.client.HTTPException):
        pass
    connection.close()
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--runner", help="runs the program (wine-run.sh)")
    parser.add_argument("--suffix", default="")
    parser.add_argument("--connections", type=int, default=1100)
    parser.add_argument("--hold", type=float, default=15, help="seconds to hold them open")
    parser.add_argument("--flood", type=float, default=0, help="seconds of new connections, opened and closed")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, args.connections + 1000), hard))

    output = tempfile.TemporaryFile()
    command = ([args.runner] if args.runner else []) + [os.path.join(args.bin, "vantorix-info" + args.suffix),
                                                         "--serve", "0"]
    server = subprocess.Popen(command, stdout=output, stderr=output)

    def serving():
        output.seek(0)
        return re.search(rb"serving http://([\d.]+):(\d+)/", output.read())
    found = wait_until(serving, "the server's address", 60, server)
    address = (found.group(1).decode(), int(found.group(2)))
    idle_rss = rss_kib(server.pid)
    done = threading.Event()
    results = {"victim": [0, 0], "first": 0, "retry": 0, "neither": 0, "rss": idle_rss, "slowest": 0,
               "new": [0, 0], "slowest new": 0}

    def victim():
        connection = None
        while not done.wait(0.5):
            began = time.time()
            connection = scrape(address, "127.0.0.1", connection)
            results["victim"][connection is None] += 1
            results["slowest"] = max(results["slowest"], time.time() - began)

    def retrying():
        """New connections from 127.0.0.1, retried until answered."""
        while not done.wait(0.5):
            began = time.time()
            while not scrape(address, "127.0.0.1") and time.time() < began + 30:
                results["new"][1] += 1
            results["new"][0] += 1
            results["slowest new"] = max(results["slowest new"], time.time() - began)

    def neighbour():
        while not done.wait(0.5):
            if scrape(address, "127.0.0.2"):
                results["first"] += 1
            elif scrape(address, "127.0.0.2"):
                results["retry"] += 1
            else:
                results["neither"] += 1

    def memory():
        while not done.wait(0.1):
            results["rss"] = max(results["rss"], rss_kib(server.pid))

    threads = [threading.Thread(target=f) for f in (victim, retrying, neighbour, memory)]
    for thread in threads:
        thread.start()
    start = time.time()
    crowd = [non_reader(address, "127.0.0.2") for _ in range(args.connections)]
    opened = time.time() - start
    floods = flood(address, "127.0.0.2", args.flood)
    time.sleep(args.hold)
    done.set()
    for thread in threads:
        thread.join()
    for sock in crowd:
        if sock:
            sock.close()
    server.terminate()
    server.wait()
    print("%d non-readers from 127.0.0.2 opened in %.1f s (%d refused at connect)%s, held %g s"
          % (args.connections, opened, crowd.count(None), ", then %d connections in a %g s flood" % (floods, args.flood)
             if args.flood else "", args.hold))
    print("server RSS: %.1f MiB idle, %.1f MiB at most" % (idle_rss / 1024, results["rss"] / 1024))
    print("kept-alive scrapes from 127.0.0.1: %d answered, %d not; the slowest took %.2f s"
          % (results["victim"][0], results["victim"][1], results["slowest"]))
    print("scrapes on new connections from 127.0.0.1: %d answered after %d failed attempts; the slowest took %.2f s"
          % (results["new"][0], results["new"][1], results["slowest new"]))
    print("scrapes from 127.0.0.2: %d answered at once, %d on the first retry, %d not at all"
          % (results["first"], results["retry"], results["neither"]))


if __name__ == "__main__":
    main()
