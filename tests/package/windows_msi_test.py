#!/usr/bin/env python3
"""The Windows installers (scripts/package-windows.sh) under Wine, each in a
fresh prefix of its own, one row per architecture: installed silently with a
port and a --textfile; with the stand-in monitor started and the prefix
restarted (wineboot runs the HKLM Run entries, as a logon does), the Run
entry's server answers with vantorix_up 1 and writes a textfile that
promtool and node_exporter's textfile collector read; the program it starts
is a GUI-subsystem one; a second server for the port says so in its log and
exits; a newer version replaces it in place while it runs, keeping the
properties it is not given; msiexec /x, with
the server running, leaves no file and no entry; with AUTOSTART=0 nothing
starts. The x86 installer runs in a 32-bit prefix: Wine's 64-bit wineboot
does not run the 32-bit Run view (WOW6432Node) that Windows runs."""
import argparse
import glob
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from waiting import wait_until  # noqa: E402
from serving import free_port  # noqa: E402

OPTIONS = None
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
SETTINGS_KEY = r"HKLM\Software\GetVantorixInfo"  # the properties, for the next version
FILES = {"bin/GetVantorixInfo.dll", "bin/vantorix-info.exe", "bin/vantorix-infow.exe", "bin/vantorix-standin.exe",
         "bin/vantorix-bridge.exe", "include/GetVantorixInfo.h", "LICENSE.txt", "prometheus/vantorix-alerts.yml",
         "grafana/vantorix-fleet.json", "demo.cmd"}
# (installer, the loader of its prefix, WINEARCH, PE machine)
ROWS = [("x64", "/usr/lib/wine/wine64", "win64", 0x8664), ("x86", "/usr/lib/wine/wine", "win32", 0x14C)]
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def pe_header(path):
    """(machine, subsystem) of the PE file at `path`."""
    with open(path, "rb") as file:
        data = file.read(4096)
    offset, = struct.unpack_from("<I", data, 0x3C)
    machine, = struct.unpack_from("<H", data, offset + 4)
    subsystem, = struct.unpack_from("<H", data, offset + 24 + 68)  # the optional header's Subsystem
    return machine, subsystem


def scrape(port):
    """The page at /metrics on `port`, None while nothing answers there."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as response:
            return response.read().decode()
    except OSError:
        return None


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=10).close()
        return False
    except ConnectionRefusedError:
        return True


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Prefix:
    """A fresh Wine prefix with one command interpreter running in it for its
    whole life, so that its wineserver lives from the first program to the
    last."""

    def __init__(self, folder, loader, arch):
        self.loader, self.path = loader, os.path.join(folder, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEARCH=arch, WINEDEBUG="-all")
        self.output = tempfile.TemporaryFile()
        boot = subprocess.run([loader, "wineboot", "--init"], env=self.env, stdout=self.output,
                              stderr=subprocess.STDOUT, timeout=300)
        if boot.returncode == 0:
            self.server("-w")
        self.session = subprocess.Popen([loader, "cmd.exe"], env=self.env, stdin=subprocess.PIPE,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        self.drive = os.path.join(self.path, "drive_c")
        self.installed = os.path.join(self.drive, "Program Files", "GetVantorixInfo")

    def server(self, *args):
        """wineserver -w (waits for it to end) or -k (ends it, with every program still running)."""
        subprocess.run(["/usr/lib/wine/wineserver", *args], env=self.env, timeout=300)

    def run(self, *args, timeout=300):
        """Runs a Windows program in the prefix: its exit status (the low 8
        bits of it: 1603 is 67) and what it printed."""
        with tempfile.TemporaryFile() as out:
            status = subprocess.run([self.loader, *args], env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=timeout).returncode
            out.seek(0)
            return status, out.read().decode(errors="replace")

    def start(self, *args):
        return subprocess.Popen([self.loader, *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def launchers(self):
        """The vantorix-infow.exe processes running in this prefix."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as file:
                    command = file.read()
                with open("/proc/%s/environ" % pid, "rb") as file:
                    ours = b"WINEPREFIX=%s\0" % self.path.encode() in file.read() + b"\0"
            except OSError:
                continue
            if ours and b"vantorix-infow.exe" in command:
                found.append(int(pid))
        return found

    def log(self):
        """The server's log, in the Wine user's %LOCALAPPDATA%."""
        path, = glob.glob(os.path.join(self.drive, "users", "*", "AppData", "Local", "GetVantorixInfo",
                                       "vantorix-info.log"))
        with open(path, errors="replace") as file:
            return file.read()

    def close(self):
        self.session.stdin.close()
        self.server("-k")  # what the test left running ends with the prefix
        self.server("-w")
        self.session.wait(timeout=60)
        self.output.close()


def msi_property(msi, name):
    properties = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True,
                                check=True).stdout
    return re.search(r"^%s\t(\S+)$" % name, properties, re.M).group(1)


def newer_version(msi, scratch):
    """A copy of `msi` that says it is the next version: a new product code
    and package code, and an Upgrade row that finds the version before it."""
    version, upgrade_code = msi_property(msi, "ProductVersion"), msi_property(msi, "UpgradeCode")
    parts = version.split(".")
    newer = ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])
    copy = os.path.join(scratch, "newer.msi")
    with open(msi, "rb") as source, open(copy, "wb") as target:
        target.write(source.read())
    for query in ("UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'ProductVersion'" % newer,
                  "UPDATE `Property` SET `Value` = '{%s}' WHERE `Property` = 'ProductCode'" % str(uuid.uuid4()).upper(),
                  "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
                  "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) "
                  "VALUES ('%s', '', '%s', 1, 'WIX_UPGRADE_DETECTED')" % (upgrade_code, newer)):
        subprocess.run(["msibuild", copy, "-q", query], check=True, capture_output=True)
    template = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
    subprocess.run(["msibuild", copy, "-s", "GetVantorixInfo", "GetVantorixInfo",
                    re.search(r"^Template: (\S+)$", template, re.M).group(1), "{%s}" % str(uuid.uuid4()).upper()],
                   check=True, capture_output=True)
    return copy


def skip(test, why):
    """Skips, and adds why to --skipped for scripts/test.sh's summary."""
    if OPTIONS.skipped:
        with open(OPTIONS.skipped, "a") as skipped:
            skipped.write("installers: %s\n" % why)
    test.skipTest(why)


class WindowsMsiTest(unittest.TestCase):
    def test_installs_serves_from_each_logon_upgrades_and_uninstalls(self):
        for arch, loader, wine_arch, machine in ROWS:
            with self.subTest(arch), tempfile.TemporaryDirectory(dir=os.path.abspath(OPTIONS.scratch)) as scratch:
                msi = os.path.join(os.path.abspath(OPTIONS.folder),
                                   "getvantorixinfo-%s-%s.msi" % (OPTIONS.version, arch))
                if not os.path.exists(loader):
                    skip(self, "%s: Wine's loader %s is not installed (scripts/install-deps.sh said why)" % (arch, loader))
                loads = subprocess.run(["bash", "-c", 'exec "$0" --version', loader], capture_output=True, text=True)
                if "Exec format error" in loads.stderr:
                    skip(self, "%s: this kernel cannot start 32-bit programs" % arch)
                self.assertEqual(0, loads.returncode, loads.stderr)
                prefix = Prefix(scratch, loader, wine_arch)
                self.addCleanup(prefix.close)
                self.check_installer(prefix, msi, machine, scratch)
                self.doCleanups()
                print("%s: installed, served from a restart, upgraded, removed" % os.path.basename(msi),
                      file=sys.stderr)

    def check_installer(self, prefix, msi, machine, scratch):
        port, node_port = free_port(), free_port()
        textfiles = os.path.join(prefix.drive, "vx")
        os.mkdir(textfiles)
        install = ["msiexec", "/i", windows_path(msi), "/qn", "LISTEN_PORT=%d" % port]
        # Refused, nothing installed: a value of AUTOSTART that says neither
        # yes nor no, and a folder outside Program Files, which users could
        # change (what runs at each logon). Wine's msiexec logs no message.
        for value in ("AUTOSTART=maybe", r"INSTALLDIR=C:\vx\GetVantorixInfo"):
            status = prefix.run(*install, value)[0]
            self.assertEqual((67, False, []), (status, os.path.exists(prefix.installed), os.listdir(textfiles)),
                             value)  # 1603
        # Nothing that runs as the system comes from a file or folder of the install.
        actions = subprocess.run(["msiinfo", "export", msi, "CustomAction"], capture_output=True, text=True,
                                 check=True).stdout
        runs = [(row[0], int(row[1])) for row in (line.split("\t") for line in actions.splitlines()[3:])
                if int(row[1]) & 7 in (1, 2, 5, 6) and int(row[1]) & 0x800]  # code (DLL, program, script) as the system
        self.assertEqual([("StopServers", 0x30)], [(name, kind & 0x30) for name, kind in runs], actions)  # by property
        self.assertEqual(0, prefix.run(*install, r"EXTRA_FLAGS=--textfile C:\vx\vantorix.prom", "AUTOSTART=True")[0])
        files = {os.path.relpath(os.path.join(folder, name), prefix.installed).replace(os.sep, "/")
                 for folder, _, names in os.walk(prefix.installed) for name in names}
        self.assertEqual(FILES, files)
        for name in FILES:
            if name.endswith((".exe", ".dll")):
                self.assertEqual(machine, pe_header(os.path.join(prefix.installed, name))[0], name)
        launcher = os.path.join(prefix.installed, "bin", "vantorix-infow.exe")
        self.assertEqual(IMAGE_SUBSYSTEM_WINDOWS_GUI, pe_header(launcher)[1], "the launcher opens a console")

        # The stand-in runs from the installed folder; then the prefix restarts, as at a logon.
        standin = prefix.start(r"C:\Program Files\GetVantorixInfo\bin\vantorix-standin.exe", "--synthetic")
        self.addCleanup(standin.wait)
        self.addCleanup(standin.kill)
        self.assertEqual(0, prefix.run("wineboot")[0])
        wait_until(lambda: "vantorix_up 1\n" in (scrape(port) or ""), "the Run entry's server to serve",
                   process=standin)
        page = os.path.join(textfiles, "vantorix.prom")
        wait_until(lambda: os.path.isfile(page), "the textfile")
        with open(page, "rb") as file:
            lint = subprocess.run(["promtool", "check", "metrics"], stdin=file, capture_output=True, text=True)
        self.assertEqual(0, lint.returncode, lint.stdout + lint.stderr)
        collected = self.collected(textfiles, node_port)
        self.assertIn("node_textfile_scrape_error 0\n", collected)
        self.assertRegex(collected, r"\nvantorix_up 1\n")
        self.assertIn(r"--serve 127.0.0.1:%d --textfile C:\vx\vantorix.prom" % port, prefix.log())

        # A second user's server at logon, in short: the port is the first
        # one's, and it exits before it writes any textfile.
        second = prefix.run(launcher, "--serve", "127.0.0.1:%d" % port, "--textfile", r"C:\vx\second.prom",
                            timeout=120)[0]
        self.assertEqual((2, False), (second, os.path.exists(os.path.join(textfiles, "second.prom"))))
        self.assertRegex(prefix.log(), r"cannot serve 127\.0\.0\.1:%d: the port is in use.*\n.*exited with status 2"
                         % port)

        # A newer version replaces it in place: the running server is ended
        # first. What it is given is taken, what it is not is kept.
        newer, port = newer_version(msi, scratch), free_port()
        codes = [msi_property(package, "ProductCode") for package in (msi, newer)]
        self.assertEqual(0, prefix.run("msiexec", "/i", windows_path(newer), "/qn", "LISTEN_PORT=%d" % port)[0])
        products = prefix.run("reg", "query", UNINSTALL_KEY)[1]
        self.assertEqual([False, True], [code in products for code in codes], products)
        self.assertEqual([], prefix.launchers(), "the old version's server still runs")
        self.assertEqual(FILES, {name for name in FILES if os.path.isfile(os.path.join(prefix.installed, name))})
        self.assertIn(r"--serve 127.0.0.1:%d --textfile C:\vx\vantorix.prom" % port,
                      prefix.run("reg", "query", RUN_KEY, "/v", "GetVantorixInfo")[1])
        self.assertEqual(0, prefix.run("wineboot")[0])
        wait_until(lambda: "vantorix_up 1\n" in (scrape(port) or ""), "the newer version's server to serve")

        # Uninstalled while its server runs (the stand-in is stopped: Windows
        # deletes no program that runs, and the server is the uninstaller's to end).
        standin.kill()
        standin.wait()
        # Uninstalled by the product code the registry has, whichever version that is.
        keys = [line.strip() for line in products.splitlines() if line.startswith("HKEY")]
        code, = [key.rsplit("\\", 1)[1] for key in keys
                 if "GetVantorixInfo" in prefix.run("reg", "query", key, "/v", "DisplayName")[1]]
        self.assertEqual(0, prefix.run("msiexec", "/x", code, "/qn")[0])
        self.assertFalse(os.path.exists(prefix.installed), list(os.walk(prefix.installed)))
        self.assertNotEqual(0, prefix.run("reg", "query", RUN_KEY, "/v", "GetVantorixInfo")[0], "the Run entry stayed")
        self.assertNotEqual(0, prefix.run("reg", "query", SETTINGS_KEY)[0], "the kept properties stayed")
        self.assertFalse(any(code in prefix.run("reg", "query", UNINSTALL_KEY)[1] for code in codes))
        self.assertEqual([], prefix.launchers())
        self.assertTrue(refused(port))

        # AUTOSTART=no (or 0, false): no Run entry, so a restart starts nothing.
        self.assertEqual(0, prefix.run("msiexec", "/i", windows_path(msi), "/qn", "LISTEN_PORT=%d" % port,
                                       "AUTOSTART=No")[0])
        self.assertNotEqual(0, prefix.run("reg", "query", RUN_KEY, "/v", "GetVantorixInfo")[0])
        self.assertEqual(0, prefix.run("wineboot")[0])
        # wineboot has started whatever it starts by the time it returns.
        self.assertEqual([], prefix.launchers())
        self.assertTrue(refused(port))
        self.assertEqual(0, prefix.run("msiexec", "/x", windows_path(msi), "/qn")[0])
        self.assertFalse(os.path.exists(prefix.installed))

    def collected(self, folder, port):
        """What Debian's node_exporter serves from the textfile folder `folder`."""
        exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
                                     "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + folder],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            return wait_until(lambda: scrape(port), "node_exporter to answer", process=exporter)
        finally:
            exporter.terminate()
            exporter.wait(timeout=30)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True, help="where the installers are (build/windows-zip)")
    parser.add_argument("--version", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--skipped", help="a file to which a skip adds its reason, for scripts/test.sh")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
