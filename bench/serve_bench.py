#!/usr/bin/env python3
"""Measures vantorix-info --serve beside Debian's prometheus-node-exporter
(hwmon, cpu, cpufreq and thermal_zone collectors), both on loopback, in the
same run: resident memory and wake-ups idle, memory after a page view, scrape
latency and memory with 1,000 idle connections held open, and CPU per scrape
over one kept-alive connection. Run by scripts/serve-bench.sh."""
import argparse
import glob
import http.client
import os
import re
import resource
import socket
import subprocess
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def switches(pid):
    """Voluntary context switches of all the process's threads: each is a
    sleep and a wake-up (the involuntary ones are other programs' turns)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/status" % pid):
        with open(path) as status:
            total += sum(int(n) for n in re.findall(r"^voluntary_ctxt_switches:\s+(\d+)", status.read(), re.M))
    return total


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def get(connection, path):
    connection.request("GET", path, headers={"Host": "localhost"})
    response = connection.getresponse()
    body = response.read()
    assert response.status == 200, (path, response.status)
    return body


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def measure(name, pid, port, page, scrapes, idle_seconds):
    row = {"name": name}
    time.sleep(1)
    row["rss_idle"] = rss_kib(pid)
    before = switches(pid)
    time.sleep(idle_seconds)
    row["wakeups"] = (switches(pid) - before) / idle_seconds
    if page:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        for path in ("/", "/style.css", "/strip.js", "/app.js", "/api/readings"):
            get(connection, path)
        connection.close()
        row["rss_page"] = rss_kib(pid)
    # CPU per scrape, over one kept-alive connection.
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    get(connection, "/metrics")
    start = cpu_seconds(pid)
    for _ in range(scrapes):
        get(connection, "/metrics")
    row["cpu_us"] = (cpu_seconds(pid) - start) / scrapes * 1e6
    row["bytes"] = len(get(connection, "/metrics"))
    connection.close()
    # 1,000 idle connections, each kept alive after one request, held while
    # 200 scrapes are timed on a connection of their own. From ten loopback
    # addresses: one client may hold only 128 of them.
    crowd = []
    for number in range(1000):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10,
                                        source_address=("127.0.0.%d" % (10 + number % 10), 0))
        sock.sendall(b"GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n")
        crowd.append(sock)
    for sock in crowd:
        sock.recv(65536)
    latencies = []
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    for _ in range(200):
        start = time.perf_counter()
        get(connection, "/metrics")
        latencies.append((time.perf_counter() - start) * 1000)
    row["p50_ms"], row["p99_ms"] = percentile(latencies, 50), percentile(latencies, 99)
    row["rss_crowd"] = rss_kib(pid)
    row["crowd_open"] = sum(1 for sock in crowd if still_open(sock))
    connection.close()
    for sock in crowd:
        sock.close()
    return row


def still_open(sock):
    sock.setblocking(False)
    try:
        return sock.recv(1) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--scrapes", type=int, default=3000)
    parser.add_argument("--idle-seconds", type=float, default=10)
    options = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    scratch = tempfile.mkdtemp()
    processes = []
    try:
        monitor = subprocess.Popen([os.path.join(options.bin, "vantorix-standin"), "--synthetic"],
                                   stdout=subprocess.DEVNULL)
        processes.append(monitor)
        time.sleep(1)
        log = open(os.path.join(scratch, "serve.log"), "w+")
        server = subprocess.Popen([os.path.join(options.bin, "vantorix-info"), "--serve", "0"], stdout=log,
                                  stderr=log)
        processes.append(server)
        for _ in range(100):
            log.seek(0)
            found = re.search(r"serving http://127\.0\.0\.1:(\d+)/", log.read())
            if found:
                break
            time.sleep(0.1)
        port = free_port()
        exporter = subprocess.Popen(
            ["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port, "--collector.disable-defaults",
             "--collector.hwmon", "--collector.cpu", "--collector.cpufreq", "--collector.thermal_zone",
             "--log.level=error"], stderr=subprocess.DEVNULL)
        processes.append(exporter)
        time.sleep(1)
        rows = [measure("vantorix-info --serve", server.pid, int(found.group(1)), True, options.scrapes,
                        options.idle_seconds),
                measure("prometheus-node-exporter", exporter.pid, port, False, options.scrapes,
                        options.idle_seconds)]
    finally:
        for process in processes:
            process.terminate()
            process.wait()
    print("| server | RSS idle | wake-ups/s idle | RSS after the page | CPU per scrape (kept alive) | "
          "scrape size | scrape p50 / p99, 1,000 idle connections | RSS with them | of them still open |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| %s | %.1f MiB | %.1f | %s | %.0f µs | %d B | %.2f / %.2f ms | %.1f MiB | %d |" % (
            row["name"], row["rss_idle"] / 1024, row["wakeups"],
            "%.1f MiB" % (row["rss_page"] / 1024) if "rss_page" in row else "—", row["cpu_us"], row["bytes"],
            row["p50_ms"], row["p99_ms"], row["rss_crowd"] / 1024, row["crowd_open"]))


if __name__ == "__main__":
    main()
