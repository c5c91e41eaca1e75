#!/usr/bin/env python3
"""The bridge's figures for docs/performance.md, under Wine: the delay from a
Linux publish to a Windows reader in the prefix (p50, p99), and the CPU the
bridge takes (with the prefix's wineserver, which serves its waits and opens
files for it) while a publisher publishes once a second, against the same
prefix with an idle program in the bridge's place.

    scripts/bridge-figures.py [--preset mingw-x64] [--seconds 120]

Needs the `linux` preset and the chosen MinGW preset built. Run as root, it
works in a private /dev/shm (a mount namespace of its own).

The delay: the stand-in publishes its pattern (the generation in core_load[0])
five times a second; a Linux vantorix-info polls every 2 ms and a Windows one
every 5 ms, both logging with timestamps; the delay of a record is the
Windows reader's first sight of it less the Linux reader's (resolution: the
two polling intervals)."""
import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def private_shm():
    if os.environ.get("VANTORIX_PRIVATE_SHM") or os.geteuid() != 0:
        return
    os.environ["VANTORIX_PRIVATE_SHM"] = "1"
    script = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"'
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                          sys.executable, *sys.argv])


def first_sight(path):
    """generation -> the time (ms since the epoch) a log first showed it."""
    seen = {}
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            if not line.startswith("{"):
                continue
            record = json.loads(line)
            if record.get("ok"):
                stamp = datetime.datetime.strptime(record["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")
                ms = stamp.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000
                seen.setdefault(record["core_load"][0] & 0xFFFFFFFF, ms)
    return seen


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preset", default="mingw-x64")
    parser.add_argument("--seconds", type=float, default=120)
    options = parser.parse_args()
    private_shm()
    windows_bin = os.path.join(ROOT, "build", options.preset, "bin")
    linux_bin = os.path.join(ROOT, "build", "linux", "bin")
    runner = os.path.join(ROOT, "build", options.preset, "wine-run.sh")
    env = dict(os.environ, WINEPREFIX=os.path.join(ROOT, "build", options.preset, "wineprefix"), WINEDEBUG="-all")
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    started = []

    def start(command, out=subprocess.DEVNULL):
        started.append(subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env))
        return started[-1]

    with tempfile.TemporaryDirectory() as scratch:
        try:
            # A wineserver of our own, so that its CPU can be counted.
            server = start(["/usr/lib/wine/wineserver64", "-f", "-p"])
            subprocess.run([os.path.join(linux_bin, "vantorix-standin"), "--remove"], check=True)
            standin = start([os.path.join(linux_bin, "vantorix-standin"), "--rate", "5"])
            bridge = start([runner, os.path.join(windows_bin, "vantorix-bridge.exe")])
            with open(os.path.join(scratch, "linux.log"), "w") as linux_log, \
                    open(os.path.join(scratch, "windows.log"), "w") as windows_log:
                linux_reader = start([os.path.join(linux_bin, "vantorix-info"), "--jsonl", "--interval", "0.002"],
                                     linux_log)
                windows_reader = start([runner, os.path.join(windows_bin, "vantorix-info.exe"), "--jsonl",
                                        "--interval", "0.005"], windows_log)
                time.sleep(10 + options.seconds)
            for process in (linux_reader, windows_reader):
                process.kill()
                process.wait()
            linux_seen = first_sight(os.path.join(scratch, "linux.log"))
            windows_seen = first_sight(os.path.join(scratch, "windows.log"))
            delays = [windows_seen[g] - linux_seen[g] for g in windows_seen if g in linux_seen]
            delays = delays[5:]  # the first ones were there before the readers
            print("delay from a Linux publish to the Windows side, %d records: p50 %.0f ms, p90 %.0f ms, p99 %.0f ms, "
                  "max %.0f ms" % (len(delays), percentile(delays, 0.5), percentile(delays, 0.9),
                                   percentile(delays, 0.99), max(delays)))

            standin.kill()
            standin.wait()
            standin = start([os.path.join(linux_bin, "vantorix-standin"), "--rate", "1"])
            bridge.send_signal(2)
            bridge.wait(timeout=10)
            # The idle prefix: a command interpreter waiting on its input.
            idle = subprocess.Popen([runner, "cmd"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.STDOUT, env=env)
            started.append(idle)
            runs = [("idle prefix", idle, None)] + [("--interval " + interval, None, interval)
                                                    for interval in ("0.1", "0.25", "1")]
            for name, program, interval in runs:
                if program is None:
                    program = start([runner, os.path.join(windows_bin, "vantorix-bridge.exe"), "--interval", interval])
                time.sleep(10)
                before = cpu_seconds(program.pid), cpu_seconds(server.pid)
                time.sleep(options.seconds)
                after = cpu_seconds(program.pid), cpu_seconds(server.pid)
                own, served = (100 * (after[i] - before[i]) / options.seconds for i in (0, 1))
                print("CPU with a publisher at 1 Hz, %s: program %.2f%%, wineserver %.2f%%, together %.2f%% of one core"
                      % (name, own, served, own + served), flush=True)
                if interval:
                    program.send_signal(2)  # Ctrl-C
                else:
                    program.stdin.close()
                program.wait(timeout=10)
        finally:
            for process in reversed(started):
                process.kill()
                process.wait()
            subprocess.run([os.path.join(linux_bin, "vantorix-standin"), "--remove"])


if __name__ == "__main__":
    main()
