#!/usr/bin/env python3
"""The .deb as a Linux user gets it: built with CPack (by the test
deb_made, before this one; tests/package/CMakeLists.txt), installed on this
machine with apt-get, then used as installed (the publisher publishes, the
tool, the Python package and clients built with pkg-config and CMake read,
without LD_LIBRARY_PATH; the units verify; the man pages open, the
documents' links resolve; the system services' commands, run as their user
with the server's ARGS set to TLS with a password, are scraped by a real
Prometheus; the bridge's launcher says what to install without Wine), and
purged with apt-get, leaving no file, directory, user, loader-cache entry or
package behind, nor any user's objects in /dev/shm but those of a monitor
still running.

Needs root (exit 77, a skip, otherwise). Refuses to run when the package, or
any file it would install, is already on the machine: removing it afterwards
would not restore what was there."""
import argparse
import glob
import json
import gzip
import pwd
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import waiting  # noqa: E402
import objects  # noqa: E402
import systemd_unit  # noqa: E402
from serving import SECRET_HASH, free_port, make_certificates  # noqa: E402

PACKAGE = "getvantorixinfo"
USER = "vantorix"  # the system services'
SERVE_DEFAULTS = "/etc/default/vantorix-info-serve"
DOC = "/usr/share/doc/getvantorixinfo"
SKIP = 77
# A plain environment: nothing points the programs or Python at the build.
ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8", "HOME": "/root",
       "DEBIAN_FRONTEND": "noninteractive"}


def run(command, check=True, **kwargs):
    print("+", " ".join(command), flush=True)
    kwargs.setdefault("env", ENV)
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s%s" % (command[0], result.returncode, result.stdout,
                                                            result.stderr))
    return result


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def apt_get(*args):
    # Waits for another apt-get or dpkg on this machine instead of failing.
    return run(["apt-get", "-o", "DPkg::Lock::Timeout=300", "-y", "-q", *args])


def contents(deb):
    """The files (and links) and the directories the package installs."""
    files, dirs = [], []
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        path = line.split(None, 5)[5].split(" -> ")[0].lstrip(".").rstrip("/")
        if path:
            (dirs if line.startswith("d") else files).append(path)
    return files, dirs


def read_the_installed_documents():
    """Every file the installed documents link to is installed; the man pages
    open with man, with no option's text run into its tag line."""
    for page in [os.path.join(DOC, "README.md")] + glob.glob(os.path.join(DOC, "docs", "*.md")):
        with open(page, encoding="utf-8") as text:
            links = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text.read())
        missing = [link for link in links if not os.path.isfile(os.path.join(os.path.dirname(page), link))]
        expect(not missing, "%s links to files not installed: %s" % (page, missing))
    for program, name_line in (("vantorix-info", "vantorix-info - show the processor readings"),
                               ("vantorix-publisher", "vantorix-publisher - "),
                               ("vantorix-bridge", "vantorix-bridge - give the Windows programs")):
        shown = run(["man", "-P", "cat", program], env={**ENV, "MANWIDTH": "200"}).stdout
        expect(name_line in shown, "man %s shows:\n%s" % (program, shown[:500]))
        with gzip.open("/usr/share/man/man1/%s.1.gz" % program, "rt", encoding="utf-8") as roff:
            lines = roff.read().splitlines()
        tags = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line in (".TP", ".HP")]
        glued = [tag for tag in tags if "  " in tag]
        expect(not glued, "man %s: text run into an option's tag line: %s" % (program, glued))


def use_the_installed_package(source, scratch, online):
    read_the_installed_documents()
    info = "/usr/bin/vantorix-info"
    expect(run([info, "--json"], check=False).returncode == 1, "read something before the publisher ran")
    for manager in ("user", "system"):
        for unit in ("vantorix-publisher.service", "vantorix-info-serve.service"):
            verify = run(["systemd-analyze", "verify", "/usr/lib/systemd/%s/%s" % (manager, unit)], check=False)
            expect((verify.returncode, verify.stdout + verify.stderr) == (0, ""), unit + ": " + verify.stderr)
            expect(not glob.glob("/etc/systemd/%s/*.wants/%s" % (manager, unit)), unit + " was enabled by the package")

    publisher = subprocess.Popen(["/usr/bin/vantorix-publisher"], env=ENV, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 20
        while run([info, "--json"], check=False).returncode != 0:
            expect(time.time() < deadline and publisher.poll() is None, "the installed publisher never published")
            time.sleep(0.1)
        record = json.loads(run([info, "--json"]).stdout)
        expect(record["core_total"] == online, "vantorix-info read %s" % record)

        script = ("import getvantorixinfo\nprint(getvantorixinfo.__file__)\n"
                  "print(getvantorixinfo.read().core_total)\n")
        out = run(["/usr/bin/python3", "-c", script], cwd="/").stdout.split()
        expect(out == ["/usr/lib/python3/dist-packages/getvantorixinfo/__init__.py", str(online)],
               "the installed Python package: %s" % out)

        for variable, name in (("libdir", "libGetVantorixInfo.so"), ("includedir", "GetVantorixInfo.h")):
            folder = run(["pkg-config", "--variable=" + variable, "GetVantorixInfo"]).stdout.strip()
            expect(os.path.isfile(os.path.join(folder, name)), "pkg-config's %s %s has no %s" % (variable, folder, name))
        flags = run(["pkg-config", "--cflags", "--libs", "GetVantorixInfo"]).stdout.split()
        run(["cc", os.path.join(source, "tests/consumer/consumer.c"), "-o", os.path.join(scratch, "pc"), *flags])
        build = os.path.join(scratch, "consumer")
        run(["cmake", "-S", os.path.join(source, "tests/consumer"), "-B", build, "-G", "Ninja"])
        run(["cmake", "--build", build])
        for program in (os.path.join(scratch, "pc"), os.path.join(build, "consumer-c"),
                        os.path.join(build, "consumer")):
            out = run([program]).stdout
            expect("cores=%d\n" % online in out, "%s: %s" % (program, out))
    finally:
        publisher.send_signal(signal.SIGTERM)
        expect(publisher.wait(timeout=10) == 0, "the publisher did not stop cleanly on SIGTERM")


READER, LIVE = 65534, 65532  # users of the machine's other readers and monitors: a uid is enough


def as_uid(uid, *command):
    return ["setpriv", "--reuid", str(uid), "--regid", str(uid), "--clear-groups", *command]


def start(log, command, user):
    """`command` as `user`, its output in the file `log`."""
    with open(log, "w") as output:
        return subprocess.Popen(["setpriv", "--reuid", user, "--regid", user, "--init-groups", "--", *command],
                                env=ENV, stdout=output, stderr=output)


def wait_for(predicate, what, logs):
    """The state awaited through the tests' shared helper; the logs shown when it never comes."""
    try:
        waiting.wait_until(predicate, what, 60)
    except AssertionError as error:
        shown = "".join("--- %s:\n%s" % (log, open(log, errors="replace").read()) for log in logs)
        raise AssertionError("%s\n%s" % (error, shown)) from None


def run_the_system_services(scratch):
    """Each system unit's ExecStart as its User=, with the unit's environment:
    the server's ARGS from its conffile, set to TLS with a password on a free
    port, scraped by a real Prometheus, which reads the publisher's record."""
    entry = pwd.getpwnam(USER)
    expect(entry.pw_uid < 1000 and entry.pw_shell == "/usr/sbin/nologin", "not a system user: %s" % (entry,))
    folder = tempfile.mkdtemp(prefix="vantorix-web-")  # outside the build tree, which the user may not reach
    try:
        serve_over_tls(scratch, folder, entry)
    finally:
        shutil.rmtree(folder)
    print("the system services' commands ran as %s: scraped over TLS with basic auth" % USER)


def serve_over_tls(scratch, folder, entry):
    make_certificates(folder)
    with open(os.path.join(folder, "web.yml"), "w") as config:
        config.write("tls_server_config: {cert_file: server.pem, key_file: server.key}\n"
                     "basic_auth_users: {prom: '%s'}\n" % SECRET_HASH)
    for path in [folder] + [os.path.join(folder, name) for name in os.listdir(folder)]:
        os.chown(path, 0, entry.pw_gid)  # readable by the service's user, as docs/services.md says
        os.chmod(path, 0o750 if path == folder else 0o640)
    port = free_port()
    with open(SERVE_DEFAULTS) as defaults:
        text = defaults.read()
    expect('\nARGS="--serve 127.0.0.1:9198"\n' in text, "the shipped ARGS: " + text)
    with open(SERVE_DEFAULTS, "w") as defaults:
        defaults.write(text.replace('\nARGS="--serve 127.0.0.1:9198"\n', '\nARGS="--serve 127.0.0.1:%d --web-config %s"\n'
                                    % (port, os.path.join(folder, "web.yml"))))

    processes, logs = [], []
    try:
        for unit in ("vantorix-publisher.service", "vantorix-info-serve.service"):
            with open("/usr/lib/systemd/system/" + unit) as file:
                text = file.read()
            user, = systemd_unit.directives(text, "User")
            logs.append(os.path.join(scratch, unit + ".log"))
            processes.append(start(logs[-1], systemd_unit.command(text), user))
        wait_for(lambda: "serving https://127.0.0.1:%d/" % port in open(logs[1]).read(), "the server", logs)

        config = os.path.join(scratch, "prometheus.yml")
        with open(config, "w") as file:
            file.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs: [{job_name: vantorix, "
                       "scheme: https, basic_auth: {username: prom, password: secret}, tls_config: {ca_file: %s}, "
                       "static_configs: [{targets: ['127.0.0.1:%d']}]}]\n" % (os.path.join(folder, "ca.pem"), port))
        prometheus_port = free_port()
        logs.append(os.path.join(scratch, "prometheus.log"))
        with open(logs[-1], "w") as output:
            processes.append(subprocess.Popen(
                ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(scratch, "tsdb"),
                 "--web.listen-address=127.0.0.1:%d" % prometheus_port, "--log.level=warn"],
                stdout=output, stderr=output))

        def scraped():
            url = "http://127.0.0.1:%d/api/v1/query?query=" % prometheus_port
            try:
                with urllib.request.urlopen(url + urllib.parse.quote("up + vantorix_up"), timeout=10) as answer:
                    return [item["value"][1] for item in json.load(answer)["data"]["result"]] == ["2"]
            except OSError:
                return False

        wait_for(scraped, "Prometheus to scrape up 1 and vantorix_up 1 over TLS with the password", logs)
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            process.wait(timeout=30)


def bridge_launcher_without_wine():
    """The launcher where neither /usr/lib/wine/wine64 nor a wine64 on PATH is."""
    hidden = "mount -t tmpfs tmpfs /usr/lib/wine && exec /usr/bin/vantorix-bridge --version"
    result = run(["unshare", "--mount", "--propagation", "private", "sh", "-c", hidden], check=False,
                 env=dict(ENV, PATH="/usr/bin:/bin"))
    expect(result.returncode == 127 and "apt-get install wine64" in result.stderr,
           "the launcher without Wine: %d %s" % (result.returncode, result.stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build tree of the deb preset")
    parser.add_argument("--source", required=True)
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return SKIP
    known = run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}", PACKAGE], check=False)
    expect(known.returncode != 0, "%s is on this machine already (%s): purge it first" % (PACKAGE, known.stdout))

    deb, = glob.glob(os.path.join(options.build, "package", PACKAGE + "_*.deb"))
    control = run(["dpkg-deb", "-f", deb, "Depends", "Maintainer"]).stdout
    expect("libc6" in control, "no shared-library dependencies: " + control)
    files, dirs = contents(deb)
    paths = files + dirs
    for wanted in ("/usr/bin/vantorix-info", "/usr/bin/vantorix-publisher", "/usr/include/GetVantorixInfo.h",
                   "/usr/lib/systemd/user/vantorix-publisher.service", "/usr/share/man/man1/vantorix-publisher.1.gz",
                   "/usr/lib/systemd/user/vantorix-info-serve.service",
                   "/usr/share/getvantorixinfo/prometheus/vantorix-alerts.yml",
                   "/usr/share/man/man1/vantorix-info.1.gz", "/usr/share/doc/getvantorixinfo/copyright",
                   "/usr/share/doc/getvantorixinfo/README.md", "/usr/share/doc/getvantorixinfo/docs/reliability.md",
                   "/usr/lib/python3/dist-packages/getvantorixinfo/py.typed",
                   "/usr/lib/systemd/system/vantorix-publisher.service",
                   "/usr/lib/systemd/system/vantorix-info-serve.service", SERVE_DEFAULTS,
                   "/usr/lib/sysusers.d/getvantorixinfo.conf",
                   "/usr/share/getvantorixinfo/grafana/vantorix-fleet.json", "/usr/bin/vantorix-bridge",
                   "/usr/lib/getvantorixinfo/x64/vantorix-bridge.exe",
                   "/usr/lib/getvantorixinfo/x86/vantorix-bridge.exe"):
        expect(wanted in paths, "the package lacks " + wanted)
    for suffix in ("libGetVantorixInfo.so.1", "pkgconfig/GetVantorixInfo.pc",
                   "cmake/GetVantorixInfo/GetVantorixInfoConfig.cmake"):
        expect(any(path.endswith("-linux-gnu/" + suffix) for path in paths), "the package lacks " + suffix)
    conffiles = run(["dpkg-deb", "-I", deb, "conffiles"]).stdout.split()
    expect(conffiles == [SERVE_DEFAULTS], "the conffiles: %s" % conffiles)
    known_user = run(["getent", "passwd", USER], check=False)
    expect(known_user.returncode != 0, "the user %s is on this machine already" % USER)
    present = [path for path in files if os.path.lexists(path)]
    expect(not present, "files of the package are on this machine already: %s" % present)
    existing_dirs = {path for path in dirs if os.path.isdir(path)}
    shm_before = set(glob.glob("/dev/shm/Vantorix*Object.*"))
    # Nothing but the package itself: apt-get remove would leave the rest.
    simulated = apt_get("install", "--simulate", os.path.abspath(deb)).stdout
    installs = [line.split()[1] for line in simulated.splitlines() if line.startswith("Inst ")]
    expect(installs == [PACKAGE], "installing the package would install %s" % installs)

    online = os.sysconf("SC_NPROCESSORS_ONLN")
    info, live = "/usr/bin/vantorix-info", None
    scratch = tempfile.mkdtemp(prefix="vantorix-deb-", dir=options.build)
    try:
        started = time.time()
        apt_get("install", os.path.abspath(deb))
        print("installed in %.1f s" % (time.time() - started))
        use_the_installed_package(options.source, scratch, online)
        run_the_system_services(scratch)
        bridge_launcher_without_wine()
        # Readers of another user leave their mutex file; a monitor of a third still runs through the purge.
        run(as_uid(READER, info), check=False)
        expect(os.path.exists(objects.MUTEX % READER), "the reader left no mutex file")
        log = os.path.join(scratch, "live-publisher.log")
        with open(log, "w") as output:
            live = subprocess.Popen(as_uid(LIVE, "/usr/bin/vantorix-publisher"), env=ENV, stdout=output, stderr=output)
        wait_for(lambda: run(as_uid(LIVE, info), check=False).returncode == 0, "another user's monitor", [log])
    finally:
        started = time.time()
        apt_get("purge", PACKAGE)
        print("purged in %.1f s" % (time.time() - started))
        shutil.rmtree(scratch)
        live_objects = ["/dev/shm/%sObject.%d" % (name, LIVE) for name in ("VantorixMutex", "VantorixMapping")]
        kept = [os.path.exists(path) for path in live_objects]
        if live:
            live.terminate()
            live.wait(timeout=30)
        for path in live_objects:
            if os.path.exists(path) and path not in shm_before:
                os.unlink(path)

    left = [path for path in paths if os.path.lexists(path) and path not in existing_dirs]
    expect(not left, "left behind after apt-get purge: %s" % left)
    expect("GetVantorixInfo" not in run(["ldconfig", "-p"]).stdout, "the loader's cache still has the library")
    expect(run(["getent", "passwd", USER], check=False).returncode != 0, "the user %s is still there" % USER)
    shm = set(glob.glob("/dev/shm/Vantorix*Object.*")) - shm_before
    expect(not shm, "objects of users' readers or services are still there: %s" % sorted(shm))
    expect(kept == [True, True], "the purge took a running monitor's objects: %s" % kept)
    status = run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}", PACKAGE], check=False)
    expect(status.returncode != 0, "dpkg still knows the package: " + status.stdout)
    print("the package installed, worked and left nothing behind")
    return 0


if __name__ == "__main__":
    sys.exit(main())
