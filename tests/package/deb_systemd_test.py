#!/usr/bin/env python3
"""The user and system units under a real systemd: a minimal Debian 12 root
(mmdebstrap's minbase with systemd, dbus, Python and the .deb's
dependencies, kept as a tarball in the build tree keyed on that list and
Debian's sources, unpacked afresh each run) booted with systemd-nspawn on a
private network, with the bpf() system call allowed (IPAddressDeny= needs it;
nspawn's default filter withholds it). There the built .deb is installed with
apt-get; a lingering user's manager runs both user units, whose /metrics is
scraped, and stops them; both system units are enabled and started, /metrics is scraped from
inside, the server is restarted and keeps its history, the hardening the
units promise is checked on their running processes, and the package is
purged, leaving no file, enablement, history, shared-memory object or user.
The container is stopped on every path; on a failure its journal is shown.

Needs root (exit 77, a skip, otherwise); a machine that cannot boot a
container is a skip too, saying why (in the summary of scripts/test.sh).
It says what it cost: the root's making or reuse, the boot, the checks.

The same file runs inside the container (--inside NAME ARGS...): the checks
that must see the container's processes and network."""
import argparse
import ctypes
import errno
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "support")]  # waiting.py: beside it in the container, in tests/support here
from waiting import wait_until  # noqa: E402

PACKAGE = "getvantorixinfo"
USER = "vantorix"
UNITS = ("vantorix-publisher.service", "vantorix-info-serve.service")
PUBLISHER, SERVE = UNITS
URL = "http://127.0.0.1:9198"  # the server's address in the shipped ARGS
# The root's packages: a system manager (and the PAM module that gives a
# user manager its runtime folder), the Python that runs this file
# inside, and what the .deb depends on today, so that --make-root can make it
# before the .deb exists (a run makes it while the builds go on). A .deb that
# comes to depend on more gets a root of its own, made when it is tested.
BASE = ["systemd", "systemd-sysv", "dbus", "libpam-systemd", "python3",
        "libc6", "libcrypt1", "libgcc-s1", "libssl3", "libstdc++6", "libyaml-cpp0.7"]
INSIDE = "/srv/vantorix-test"  # where this file and the .deb go in the root
TESTER = "tester"  # a user of the container, who runs the user units
ENV = ["PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8", "HOME=/root", "DEBIAN_FRONTEND=noninteractive"]
SKIP = 77


class NotRun(Exception):
    """This machine cannot run the test: why."""


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


# ---- inside the container ------------------------------------------------

def get(path):
    with urllib.request.urlopen(URL + path, timeout=10) as answer:
        return answer.read().decode()


def answered(path):
    try:
        return get(path)
    except OSError:
        return None


def metrics():
    """/metrics once the server answers with the monitor up."""
    def up():
        page = answered("/metrics")
        return page if page and "\nvantorix_up 1\n" in page else None
    return {"page": wait_until(up, "/metrics with vantorix_up 1", timeout=60),
            "online": os.sysconf("SC_NPROCESSORS_ONLN")}


def history(at_least):
    """The reads' times in /api/history once it has `at_least` of them."""
    def times():
        text = answered("/api/history?seconds=3600")
        samples = json.loads(text)["samples"] if text else []
        return [sample["t"] for sample in samples] if len(samples) >= int(at_least) else None
    return wait_until(times, "%s reads in /api/history" % at_least, timeout=60)


def field(name, wanted):
    """A line of /proc/PID/status."""
    def check(pid, uid):
        with open("/proc/%d/status" % pid) as status:
            found = dict(line.rstrip("\n").split(":\t", 1) for line in status)[name]
        return None if found == wanted.format(uid=uid) else "%s: %s" % (name, found)
    return check


def mapped_users(pid, uid):
    """PrivateUsers=: a user namespace of root and the user alone."""
    with open("/proc/%d/uid_map" % pid) as uid_map:
        found = sorted(tuple(int(n) for n in line.split()) for line in uid_map)
    return None if found == [(0, 0, 1), (uid, uid, 1)] else "uid_map: %s" % found


def mount_options(path, *wanted):
    """The topmost mount at `path` in the process's namespace has these options."""
    def check(pid, uid):
        with open("/proc/%d/mountinfo" % pid) as mountinfo:
            mounts = [line.split() for line in mountinfo]
        options = [set(line[5].split(",") + line[-1].split(",")) for line in mounts if line[4] == path][-1]
        return None if set(wanted) <= options else "%s mounted %s" % (path, ",".join(sorted(options)))
    return check


def read_only(path):
    """Creating a file under `path`, as the process sees it, fails: EROFS."""
    def check(pid, uid):
        probe = "/proc/%d/root%s/.vantorix-probe" % (pid, path)
        try:
            os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except OSError as error:
            return None if error.errno == errno.EROFS else "%s: %s" % (path, error)
        os.unlink(probe)
        return path + " is writable"
    return check


def own_network(pid, uid):
    """PrivateNetwork=: a network namespace other than the container's."""
    theirs, ours = os.readlink("/proc/%d/ns/net" % pid), os.readlink("/proc/1/ns/net")
    return None if theirs != ours else "in the container's network namespace " + ours


def connects():
    """Whether a TCP connection to a listener on 127.0.0.1 is made within 2 s."""
    with socket.socket() as listener, socket.socket() as client:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        client.settimeout(2)
        try:
            client.connect(listener.getsockname())
            return True
        except OSError:
            return False


def addresses_denied(pid, uid):
    """IPAddressDeny=any in effect: a process put in the unit's cgroup, whose
    BPF programs filter its packets, cannot connect over loopback, where one
    outside it can."""
    with open("/proc/%d/cgroup" % pid) as cgroups:
        cgroup = [line.split(":", 2)[2].strip() for line in cgroups if line.startswith("0::")][0]
    with open("/proc/self/mountinfo") as mountinfo:
        hierarchy = [line.split()[4] for line in mountinfo if line.split(" - ")[1].startswith("cgroup2 ")][0]
    if not connects():
        return "no connection is made outside the unit either"
    child = os.fork()
    if child == 0:
        try:
            with open(os.path.join(hierarchy + cgroup, "cgroup.procs"), "w") as procs:
                procs.write(str(os.getpid()))
            os._exit(10 if connects() else 0)
        finally:
            os._exit(11)
    status = os.waitpid(child, 0)[1]
    return {0: None, 10: "a process in %s connected" % cgroup}.get(os.waitstatus_to_exitcode(status),
                                                                     "could not join " + cgroup)


BOTH = UNITS
# What the units promise, on their running processes: (units, promise, check).
# A check returns None when the promise holds, else what it found.
HARDENING = (
    (BOTH, "User=vantorix", field("Uid", "{uid}\t{uid}\t{uid}\t{uid}")),
    (BOTH, "PrivateUsers=yes", mapped_users),
    (BOTH, "no capabilities", field("CapEff", "0" * 16)),
    (BOTH, "CapabilityBoundingSet= (empty)", field("CapBnd", "0" * 16)),
    (BOTH, "NoNewPrivileges=yes", field("NoNewPrivs", "1")),
    (BOTH, "SystemCallFilter=", field("Seccomp", "2")),
    (BOTH, "ProtectSystem=strict: /usr read-only", read_only("/usr")),
    (BOTH, "ProtectSystem=strict: /etc read-only", read_only("/etc")),
    (BOTH, "ProtectProc=invisible", mount_options("/proc", "hidepid=invisible")),
    ((SERVE,), "ProcSubset=pid", mount_options("/proc", "subset=pid")),
    ((PUBLISHER,), "PrivateNetwork=yes", own_network),
    ((PUBLISHER,), "IPAddressDeny=any", addresses_denied),
)


def hardening(*unit_pids):
    """The rows of HARDENING that do not hold, for the units' main PIDs (UNIT=PID)."""
    uid = int(subprocess.run(["id", "-u", USER], capture_output=True, text=True, check=True).stdout)
    failed, checked = [], 0
    for unit, pid in (item.split("=") for item in unit_pids):
        for units, promise, check in HARDENING:
            if unit in units:
                checked += 1
                found = check(int(pid), uid)
                if found is not None:
                    failed.append("%s, %s: %s" % (unit, promise, found))
    return {"failed": failed, "checked": checked}


def left_behind(uid):
    """What of the services is still there: objects in /dev/shm, processes."""
    shm = glob.glob("/dev/shm/Vantorix*Object.%s" % uid)
    processes = []
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status) as file:
                if re.search(r"(?m)^Uid:\t%s\t" % uid, file.read()):
                    processes.append(status)
        except OSError:
            pass
    return {"shm": shm, "processes": processes}


INSIDE_CHECKS = {"metrics": metrics, "history": history, "hardening": hardening, "left_behind": left_behind}


# ---- on this machine -----------------------------------------------------

def run(command, timeout=300, check=True):
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s%s" % (" ".join(command), result.returncode, result.stdout,
                                                            result.stderr))
    return result


def debian_sources():
    """Debian's archive as this machine's apt names it (as
    scripts/fresh-root-demo.sh finds it): deb lines of the origin-Debian
    sources of this architecture."""
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    lines, uri = set(), None
    for line in run(["apt-cache", "policy"]).stdout.splitlines():
        words = line.split()
        if len(words) >= 4 and words[0].isdigit() and "://" in words[1] and words[3] == arch:
            uri, where = words[1], words[2].split("/")
            continue
        if uri and "release " in line and "o=Debian," in line:
            lines.add("deb %s %s %s" % (uri, where[0], where[1]))
        uri = None
    if not lines:
        raise NotRun("apt knows no source of Debian's archive here (apt-cache policy)")
    return sorted(lines)


def root_tarball(cache, deb=None):
    """The root's tarball in `cache`, made when there is none for this list
    of packages (BASE and the .deb's dependencies) and these sources; (its
    path, what making or reusing it cost). One maker at a time: a test that
    comes while --make-root makes it waits and reuses it."""
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout if deb else ""
    packages = sorted(set(BASE + [re.split(r"[\s(]", item.split("|")[0].strip())[0]
                                  for item in depends.split(",") if item.strip()]))
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return made_root(cache, packages)


def made_root(cache, packages):
    sources = debian_sources()
    key = hashlib.sha256("\n".join(packages + sources).encode()).hexdigest()[:12]
    tarball = os.path.join(cache, "bookworm-systemd-%s.tar" % key)
    if os.path.exists(tarball) and os.path.getsize(tarball):
        return tarball, "root reused (%s)" % os.path.basename(tarball)
    for old in glob.glob(os.path.join(cache, "bookworm-systemd-*.tar*")):
        os.unlink(old)
    started = time.time()
    print("making the root with mmdebstrap: %s" % ",".join(packages), flush=True)
    made = subprocess.run(["mmdebstrap", "--quiet", "--format=tar", "--variant=minbase",
                           "--include=" + ",".join(packages), "bookworm", tarball + ".part", "-"],
                          input="\n".join(sources) + "\n", capture_output=True, text=True, timeout=900)
    expect(made.returncode == 0, "mmdebstrap exited with %d:\n%s" % (made.returncode, made.stderr[-4000:]))
    os.rename(tarball + ".part", tarball)
    return tarball, "root made in %.0f s (mmdebstrap)" % (time.time() - started)


def stopped_with_this_test():
    """nspawn, in its child before exec: SIGTERM (a poweroff) if this test is
    killed, since a killed nspawn leaves its container running."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Container:
    """A root booted with systemd-nspawn; stopped, whatever happens, on leaving."""

    def __init__(self, root, log):
        self.root, self.log = root, log
        self.name = "vantorix-test-%d" % os.getpid()
        self.nspawn = self.leader = None

    def __enter__(self):
        with open(self.log, "w") as output:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "--quiet", "-D", self.root, "-M", self.name, "-b", "--register=no",
                 "--keep-unit", "--private-network", "--system-call-filter=bpf", "--console=read-only"],
                stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=stopped_with_this_test)
        try:
            self.leader = wait_until(self.init, "the container's systemd to start", timeout=60)
            # Its bus for systemctl: until it is there, systemctl cannot wait for anything.
            wait_until(lambda: os.path.exists("/proc/%d/root/run/systemd/private" % self.leader),
                       "the container's systemd to listen", timeout=60, process=self.nspawn)
        except AssertionError as error:
            self.__exit__()
            said = self.console()
            print("--- systemd-nspawn's output:\n" + said)
            last = ([line for line in said.splitlines() if line.strip()] or ["nothing"])[-1]
            raise NotRun("this machine cannot boot a container (%s; it said: %s)" % (error, last.strip()))
        return self

    def init(self):
        """The container's PID 1 as this machine sees it, once it runs systemd."""
        if self.nspawn.poll() is not None:
            raise AssertionError("systemd-nspawn exited with %d" % self.nspawn.returncode)
        for children in glob.glob("/proc/%d/task/*/children" % self.nspawn.pid):
            for pid in open(children).read().split():
                try:
                    if open("/proc/%s/comm" % pid).read().strip() == "systemd":
                        return int(pid)
                except OSError:
                    pass
        return None

    def __exit__(self, *failure):
        """Powers it off (SIGTERM to nspawn); kills it if it does not stop in 30 s."""
        if self.nspawn.poll() is None:
            self.nspawn.terminate()
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                for pid in (self.leader, self.nspawn.pid):
                    if pid:
                        os.kill(pid, signal.SIGKILL)
                self.nspawn.wait(timeout=30)
        try:  # what nspawn leaves where /run is no tmpfs (as here), empty
            os.rmdir("/run/systemd/nspawn/propagate/" + self.name)
        except OSError:
            pass

    def console(self):
        with open(self.log, errors="replace") as log:
            return log.read()[-6000:]

    def run(self, *command, timeout=120, check=True):
        """`command` inside, as root with a plain environment."""
        print("+ [container]", " ".join(command), flush=True)
        return run(["nsenter", "-t", str(self.leader), "-a", "env", "-i", *ENV, *command],
                   timeout=timeout, check=check)

    def check(self, name, *args):
        """A check of INSIDE_CHECKS, run inside: its result."""
        return json.loads(self.run("python3", INSIDE + "/deb_systemd_test.py", "--inside", name, *args).stdout)

    def journal(self):
        """The units' status and the journal's end, or why they cannot be had."""
        shown = []
        for command in (("systemctl", "--no-pager", "status", *UNITS), ("journalctl", "--no-pager", "-b", "-n", "150")):
            try:
                said = self.run(*command, timeout=30, check=False)
                shown.append("--- %s:\n%s%s" % (" ".join(command[:1]), said.stdout, said.stderr))
            except (OSError, subprocess.SubprocessError) as error:
                shown.append("--- %s: %s" % (command[0], error))
        return "\n".join(shown)


def show(container, unit, *properties):
    text = container.run("systemctl", "show", unit, *("-p" + name for name in properties)).stdout
    return dict(line.split("=", 1) for line in text.splitlines())


def user_units(container):
    """The user units under a real user manager: a user whose lingering starts
    it without a login enables and starts both with systemctl --user; its
    server serves its publisher's readings; both are stopped again."""
    container.run("useradd", "--create-home", TESTER)
    runtime = "/run/user/" + container.run("id", "-u", TESTER).stdout.strip()
    container.run("loginctl", "enable-linger", TESTER)
    wait_until(lambda: os.path.exists("/proc/%d/root%s/systemd/private" % (container.leader, runtime)),
               TESTER + "'s user manager", timeout=60)
    user = ("runuser", "-u", TESTER, "--", "env", "XDG_RUNTIME_DIR=" + runtime, "systemctl", "--user")
    container.run(*user, "enable", "--now", *UNITS, check=False)
    for unit in UNITS:
        shown = container.run(*user, "show", unit, "-pActiveState", "-pNRestarts", "-pResult").stdout.split()
        expect(sorted(shown) == ["ActiveState=active", "NRestarts=0", "Result=success"],
               "the user's %s: %s\n%s" % (unit, shown, container.run(*user, "--no-pager", "status", unit,
                                                                     check=False).stdout))
    container.check("metrics")
    container.run(*user, "disable", "--now", *UNITS)


def in_the_container(container, deb, root, started):
    """The test proper, in a container booting since `started`; what each step cost."""
    costs = []
    state = container.run("systemctl", "is-system-running", "--wait", timeout=120, check=False).stdout.strip()
    expect(state == "running", "the container's systemd is %s:\n%s" % (
        state, container.run("systemctl", "--no-pager", "--failed", check=False).stdout))
    costs.append("booted in %.1f s" % (time.time() - started))

    started = time.time()
    container.run("apt-get", "install", "-y", "-q", INSIDE + "/" + os.path.basename(deb))
    user_units(container)
    costs.append("installed, and the user units ran under a user manager, in %.1f s" % (time.time() - started))
    started = time.time()
    uid = container.run("id", "-u", USER).stdout.strip()
    container.run("systemctl", "enable", "--now", *UNITS)
    for unit in UNITS:
        expect(container.run("systemctl", "is-active", unit, check=False).stdout.strip() == "active",
               unit + " is not active")
    costs.append("the system units started in %.1f s" % (time.time() - started))

    started = time.time()
    scraped = container.check("metrics")
    cores = re.search(r"(?m)^vantorix_cores\{[^}]*\} (\d+)$", scraped["page"])
    expect(cores and int(cores.group(1)) == scraped["online"] and "\nvantorix_monitor_alive 1\n" in scraped["page"],
           "/metrics inside, with %d cores online:\n%s" % (scraped["online"], scraped["page"][:3000]))

    before = container.check("history", "3")
    served = show(container, SERVE, "MainPID")
    container.run("systemctl", "restart", SERVE)
    container.check("metrics")
    after = container.check("history", str(len(before)))
    restarted = show(container, SERVE, "MainPID")["MainPID"]
    expect(restarted != served["MainPID"], "the server was not restarted (PID %s)" % restarted)
    lost = sorted(set(before) - set(after))
    expect(not lost, "the restart lost %d of %d reads of the history (%s)" % (len(lost), len(before), lost[:5]))
    kept = os.stat(os.path.join(root, "var/lib/getvantorixinfo/history"))
    expect((kept.st_uid, kept.st_mode & 0o777) == (int(uid), 0o600),
           "the history file: uid %d, mode %o" % (kept.st_uid, kept.st_mode & 0o777))

    shown = {unit: show(container, unit, "MainPID", "NRestarts") for unit in UNITS}
    crashed = {unit: values["NRestarts"] for unit, values in shown.items() if values["NRestarts"] != "0"}
    expect(not crashed, "restarted by systemd after failing: %s" % crashed)
    pids = ["%s=%s" % (unit, values["MainPID"]) for unit, values in shown.items()]
    found = container.check("hardening", *pids)
    expect(not found["failed"], "hardening not in effect:\n" + "\n".join(found["failed"]))
    deny = show(container, PUBLISHER, "IPAddressDeny")["IPAddressDeny"]
    expect(sorted(deny.split()) == ["0.0.0.0/0", "::/0"], "systemctl shows IPAddressDeny=%s" % deny)
    costs.append("served, restarted with its history (%d reads kept), %d hardening checks held, in %.1f s"
                 % (len(before), found["checked"], time.time() - started))

    started = time.time()
    container.run("apt-get", "purge", "-y", "-q", PACKAGE)
    for unit in UNITS:
        expect(show(container, unit, "LoadState")["LoadState"] == "not-found", unit + " is still known")
    left = container.check("left_behind", uid)
    expect(left == {"shm": [], "processes": []}, "the services left %s" % left)
    costs.append("purged in %.1f s" % (time.time() - started))
    return costs


def purged(root, installed, existing_dirs):
    """What of the package (the paths it installs) and its services is still in the root."""
    left = [path for path in installed + ["/var/lib/getvantorixinfo"] +
            ["/etc/systemd/system/multi-user.target.wants/" + unit for unit in UNITS]
            if os.path.lexists(root + path) and path not in existing_dirs]
    for name in ("passwd", "group", "shadow", "gshadow"):
        with open(os.path.join(root, "etc", name)) as table:
            if any(line.startswith(USER + ":") for line in table):
                left.append("%s's line in /etc/%s" % (USER, name))
    return left


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--inside":
        print(json.dumps(INSIDE_CHECKS[sys.argv[2]](*sys.argv[3:])))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build tree of the deb preset, with its .deb made")
    parser.add_argument("--skipped", help="a file to which a skip adds its reason, for scripts/test.sh")
    parser.add_argument("--make-root", action="store_true", help="only make the root, before the .deb exists")
    options = parser.parse_args()
    if options.make_root:
        cache = os.path.join(options.build, "systemd-root")
        os.makedirs(cache, exist_ok=True)
        try:
            print(root_tarball(cache)[1])
        except NotRun as why:
            print("not made: %s" % why)
        return 0
    try:
        return test(options.build)
    except NotRun as why:
        print("not run: %s" % why)
        if options.skipped:
            with open(options.skipped, "a") as skipped:
                skipped.write("deb_systemd: %s\n" % why)
        return SKIP


def test(build):
    from deb_test import contents  # here only: the container has neither it nor what it imports
    if os.geteuid() != 0:
        raise NotRun("booting a container needs root")
    for tool in ("mmdebstrap", "systemd-nspawn", "nsenter"):
        expect(shutil.which(tool), "%s is missing: scripts/install-deps.sh deb installs it" % tool)
    deb, = glob.glob(os.path.join(build, "package", PACKAGE + "_*.deb"))
    cache = os.path.join(build, "systemd-root")
    os.makedirs(cache, exist_ok=True)
    everything = time.time()
    tarball, made = root_tarball(cache, deb)
    costs = [made]
    for old in glob.glob(os.path.join(cache, "root.*")):  # an interrupted run's
        shutil.rmtree(old)
    root = tempfile.mkdtemp(prefix="root.", dir=cache)
    try:
        started = time.time()
        run(["tar", "-C", root, "-xf", tarball])
        files, dirs = contents(deb)
        existing_dirs = {path for path in dirs if os.path.isdir(root + path)}
        os.makedirs(root + INSIDE)
        for source, name in ((__file__, "deb_systemd_test.py"), (os.path.join(HERE, "..", "support", "waiting.py"), "waiting.py"),
                             (deb, os.path.basename(deb))):
            shutil.copy(source, os.path.join(root + INSIDE, name))
        costs.append("unpacked in %.1f s" % (time.time() - started))
        started = time.time()
        with Container(root, os.path.join(cache, "console.log")) as container:
            try:
                costs += in_the_container(container, deb, root, started)
            except BaseException:
                print("--- the container's console:\n%s\n%s" % (container.console(), container.journal()))
                raise
            started = time.time()
        costs.append("stopped in %.1f s" % (time.time() - started))
        left = purged(root, files + dirs, existing_dirs)
        expect(not left, "left behind after apt-get purge: %s" % left)
    finally:
        started = time.time()
        shutil.rmtree(root)
        costs.append("removed in %.1f s" % (time.time() - started))
    costs.append("%.0f s in all" % (time.time() - everything))
    print("the units ran under systemd, kept their history, were hardened and purged cleanly; cost: "
          + "; ".join(costs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
