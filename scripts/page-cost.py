#!/usr/bin/python3
"""What the live page costs when left open: the CPU time of headless Chromium
(every process of it) and of `vantorix-info --serve` over a span, from
/proc/PID/stat, with the stand-in monitor's synthetic readings of --cores
cores. The server
runs first for --warmup seconds so that the page shows that much history.
Each range of the page is measured in turn, and an empty page for Chromium's
own idle cost. Run as root it gives itself a private /dev/shm (unshare), so
that it does not meet another program's stand-in monitor.

    scripts/page-cost.py --bin build/linux/bin [--cores 4] [--warmup 330] [--seconds 60]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime
    except OSError:
        return None


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    children.setdefault(int(stat.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def measure(groups, seconds):
    """CPU seconds used by each group of processes (name: function giving
    their pids) over `seconds`; a process that starts meanwhile counts from
    0, one that ends meanwhile is lost. And the mean load average."""
    before = {name: {pid: cpu_seconds(pid) for pid in pids()} for name, pids in groups.items()}
    load = os.getloadavg()[0]
    time.sleep(seconds)
    used = {}
    for name, pids in groups.items():
        used[name] = 0.0
        for pid in pids():
            now = cpu_seconds(pid)
            if now is not None:
                used[name] += now - (before[name].get(pid) or 0.0)
    return used, (load + os.getloadavg()[0]) / 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("--warmup", type=float, default=330, help="seconds of history before measuring")
    parser.add_argument("--seconds", type=float, default=60, help="seconds measured per page")
    parser.add_argument("--cores", type=int, default=4, help="cores of the synthetic processor (1 to 256)")
    parser.add_argument("--settle", type=float, default=15, help="seconds after loading, before measuring")
    options = parser.parse_args()
    if os.geteuid() == 0 and not os.environ.get("VANTORIX_PRIVATE_SHM"):
        os.environ["VANTORIX_PRIVATE_SHM"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                              'mount -t tmpfs tmpfs /dev/shm && exec "$0" "$@"', sys.executable] + sys.argv)

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    scratch = tempfile.mkdtemp()
    program = lambda name: os.path.join(options.bin, name)
    monitor = subprocess.Popen([program("vantorix-standin"), "--synthetic", "--cores", str(options.cores),
                                "--rate", "1"], stdout=subprocess.DEVNULL)
    server = subprocess.Popen([program("vantorix-info"), "--serve", "0"], stdout=subprocess.PIPE, text=True)
    browser = None
    try:
        url = re.search(r"(http://\S+/)", server.stdout.readline()).group(1)
        print("history: %g s of it before the first page is shown" % options.warmup, flush=True)
        time.sleep(options.warmup)
        chrome = webdriver.ChromeOptions()
        chrome.binary_location = "/usr/lib/chromium/chromium"
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1200,1100",
                         "--user-data-dir=" + os.path.join(scratch, "profile")):
            chrome.add_argument(argument)
        service = Service("/usr/bin/chromedriver")
        browser = webdriver.Chrome(service=service, options=chrome)
        browsers = lambda: descendants(service.process.pid)  # chromedriver's children: Chromium
        print("%d cores, Chromium %s" % (options.cores, browser.capabilities.get("browserVersion")))
        print("%-22s %10s %10s %10s %8s" % ("page", "Chromium", "server", "together", "load"))
        for name, address in (("empty page", "about:blank"), ("5 minutes", url + "#300"),
                              ("1 hour", url + "#3600"), ("24 hours", url + "#86400")):
            browser.get("about:blank")
            browser.get(address)
            time.sleep(options.settle)
            used, load = measure({"browser": browsers, "server": lambda: [server.pid]}, options.seconds)
            share = lambda seconds: "%.2f%%" % (100 * seconds / options.seconds)
            print("%-22s %10s %10s %10s %8.2f" % (name, share(used["browser"]), share(used["server"]),
                                                   share(used["browser"] + used["server"]), load), flush=True)
    finally:
        if browser:
            browser.quit()
        for process in (server, monitor):
            process.terminate()
            process.wait(timeout=30)
        shutil.rmtree(scratch, True)


if __name__ == "__main__":
    main()
