#!/usr/bin/env python3
"""What /api/history costs vantorix-info --serve, end to end: a server that
starts from a full history file (an hour of reads and 24 hours of minutes, of
4 or 256 cores, written by vantorix_history_bench --write-history) answers
each range over one kept-alive connection; its CPU time (/proc/PID/stat) per
request is printed. Then CLIENTS clients loop on seconds=3600 for SECONDS
while /metrics is scraped: the scrape's median and the 503s are printed.
Run inside a private /dev/shm, from the `bench` preset's build:
  unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm && bench/history_cost.py build/bench/bin'"""
import http.client
import multiprocessing
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def fetch(connection, path):
    connection.request("GET", path)
    response = connection.getresponse()
    body = response.read()
    return response.status, len(body)


def client(port, end, busy):
    mine = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    while time.time() < end:
        status, _ = fetch(mine, "/api/history?seconds=3600")
        if status == 503:
            with busy.get_lock():
                busy.value += 1
            time.sleep(1)  # as Retry-After says


def measure(bin_dir, cores, clients=20, seconds=10):
    state = tempfile.mkdtemp()
    path = os.path.join(state, "history")
    subprocess.run([os.path.join(bin_dir, "vantorix_history_bench"), "--write-history", path, str(cores)], check=True)
    output = tempfile.TemporaryFile()
    server = subprocess.Popen([os.path.join(bin_dir, "vantorix-info"), "--serve", "127.0.0.1:0", "--history-file",
                               path], stdout=output, stderr=output)
    try:
        deadline, found = time.time() + 60, None
        while not found and time.time() < deadline:
            time.sleep(0.05)
            output.seek(0)
            found = re.search(rb"serving http://127.0.0.1:(\d+)/", output.read())
        port = int(found.group(1))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        since = "seconds=3600&since=%d" % (time.time() * 1000 - 5000)
        for query in ("seconds=300", "seconds=3600", "seconds=86400", since):
            fetch(connection, "/api/history?" + query)  # warm
            count, before = 100, cpu_seconds(server.pid)
            for _ in range(count):
                status, size = fetch(connection, "/api/history?" + query)
            spent = (cpu_seconds(server.pid) - before) / count
            print("%3d cores  %-32s %9d bytes  %6.2f ms server CPU per request" % (cores, query, size, spent * 1000))

        end, busy, scrapes = time.time() + seconds, multiprocessing.Value("i", 0), []
        # The clients in processes of their own, so that the scrape's time is
        # the server's, not this interpreter's.
        threads = [multiprocessing.Process(target=client, args=(port, end, busy)) for _ in range(clients)]
        before = cpu_seconds(server.pid)
        for thread in threads:
            thread.start()
        scrape = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        while time.time() < end:
            start = time.time()
            fetch(scrape, "/metrics")
            scrapes.append(time.time() - start)
            time.sleep(0.1)
        for thread in threads:
            thread.join()
        print("%3d cores  %d clients on seconds=3600 for %d s: /metrics median %.1f ms, max %.1f ms; %d answered 503; "
              "server CPU %.0f%%" % (cores, clients, seconds, statistics.median(scrapes) * 1000, max(scrapes) * 1000,
                                    busy.value, 100 * (cpu_seconds(server.pid) - before) / seconds))
    finally:
        server.terminate()
        server.wait(30)


if __name__ == "__main__":
    for cores in (4, 256):
        measure(sys.argv[1] if len(sys.argv) > 1 else "build/bench/bin", cores)
