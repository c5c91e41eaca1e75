"""Waiting for a state, never for a fixed time: the tests' shared helpers."""
import signal
import time

# A deadline that only a hang reaches, even under a sanitizer on a loaded machine.
DEADLINE_SECONDS = 120


def wait_until(predicate, what, timeout=DEADLINE_SECONDS, process=None):
    """The first true value of `predicate()`, polled until `timeout`; fails
    saying `what` was awaited, or at once if `process` exits first."""
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if process is not None and process.poll() is not None:
            raise AssertionError("waiting for %s: the process exited with %s" % (what, process.returncode))
        if time.time() > deadline:
            raise AssertionError("waiting for %s: not within %g s" % (what, timeout))
        time.sleep(0.02)


def takes_stop_signals(pid):
    """Whether process `pid` has its own way with SIGINT and SIGTERM now: a
    handler for each (SigCgt), each blocked to be waited for (SigBlk), or its
    main thread waiting for them in sigtimedwait, which unblocks what it waits
    for while it waits (so SigBlk shows neither then)."""
    wanted = (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGTERM - 1))
    try:
        with open("/proc/%d/status" % pid) as status:
            masks = dict(line.split(":", 1) for line in status if line.startswith(("SigCgt", "SigBlk")))
        with open("/proc/%d/wchan" % pid) as wchan:
            waiting = wchan.read().startswith("do_sigtimedwait")
    except (FileNotFoundError, ProcessLookupError):
        return False
    return waiting or any(int(masks.get(name, "0"), 16) & wanted == wanted for name in ("SigCgt", "SigBlk"))


def wait_for_stop_signals(process, timeout=DEADLINE_SECONDS):
    """Waits until `process` (a subprocess.Popen) takes SIGINT and SIGTERM
    itself, so that a signal sent next tests the program, not the default."""
    wait_until(lambda: takes_stop_signals(process.pid), "handlers for SIGINT and SIGTERM", timeout, process)
