"""Reads the processor readings that the Vantorix monitor publishes, through
the GetVantorixInfo library (ctypes; no build step).

    import getvantorixinfo
    snapshot = getvantorixinfo.read()
    print(snapshot.cpu_name, snapshot.temp, snapshot.core_load)

The library is looked up in the folder named by the environment variable
VANTORIX_LIBRARY_DIR, then beside this module, then where the system's
loader looks. A failed read raises VantorixError with the platform's code
(GetLastError on Windows, errno on Linux), the library's text for it, and
whether the monitor is running at all. A read waits at most `timeout`
seconds (3 by default, as vantorix-info) for a monitor that holds its mutex,
then raises VantorixNotResponding; Ctrl-C interrupts the wait at once.

Readings follow vantorix-info's rule: one the monitor did not report (0, but
for a temperature in distance-to-TjMax mode) is None, and a float is the
shortest decimal that reads back as the stored single-precision value
(67.7, not 67.69999694824219).
"""
import ctypes
import ctypes.util
import dataclasses
import errno
import math
import os
import stat
import struct
import sys
import threading
import time
from typing import Iterator, List, Optional

__version__ = "1.0.0"

__all__ = ["VantorixError", "VantorixNotResponding", "Snapshot", "SharedData", "read", "load_library"]

# The monitor's 2688-byte record, field for field as in GetVantorixInfo.h.
class SharedData(ctypes.Structure):
    _fields_ = [
        ("core_load", ctypes.c_int32 * 256),
        ("tj_max", ctypes.c_int32 * 128),
        ("core_total", ctypes.c_int32),
        ("cpu_total", ctypes.c_int32),
        ("temp", ctypes.c_float * 256),
        ("vid_value", ctypes.c_float),
        ("cpu_clock", ctypes.c_float),
        ("fsb_clock", ctypes.c_float),
        ("clock_multiplier", ctypes.c_float),
        ("cpu_name", ctypes.c_char * 100),
        ("fahrenheit", ctypes.c_uint8),
        ("distance_to_tj_max", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 2),
    ]


assert ctypes.sizeof(SharedData) == 2688


_WINDOWS = sys.platform == "win32"
# The platform's "does not exist" code: the monitor's region is not there.
_NOT_FOUND = 2 if _WINDOWS else errno.ENOENT  # 2 is ERROR_FILE_NOT_FOUND
# The platform's code for a wait that ran out.
_TIMED_OUT = 258 if _WINDOWS else errno.ETIMEDOUT  # 258 is WAIT_TIMEOUT
# What to start when no monitor runs, as vantorix-info says it.
_START = ("start the Vantorix monitor" if _WINDOWS
          else "start vantorix-publisher (systemctl --user start vantorix-publisher)")
_INSTALL = ("put GetVantorixInfo.dll beside this module, or name its folder in VANTORIX_LIBRARY_DIR" if _WINDOWS
            else "install the getvantorixinfo .deb, or name the library's folder in VANTORIX_LIBRARY_DIR")


class VantorixError(OSError):
    """A read failed: `code` is the platform's error code, `message` the
    library's text for it. `monitor_running` is False exactly when the code
    says the monitor's region does not exist (no monitor, or on Linux none of
    this user's), as "monitor_running" in vantorix-info's JSON, and None
    when the library itself could not be loaded; `hint` then says what to
    start or install, and the error's text ends with it."""

    code: int
    message: str
    monitor_running: Optional[bool]
    hint: Optional[str]

    def __init__(self, code: int, message: str) -> None:
        super().__init__(code, message)
        self.code = code
        self.message = message
        self.monitor_running = code != _NOT_FOUND
        self.hint = None if self.monitor_running else "the Vantorix monitor is not running: " + _START

    def __str__(self) -> str:
        text = super().__str__()
        return text + "; " + self.hint if self.hint else text


class VantorixNotResponding(VantorixError):
    """The monitor held its mutex for longer than read()'s timeout: it runs,
    but does not let its record be read (vantorix-info's exit status 4)."""

    def __init__(self) -> None:
        super().__init__(_TIMED_OUT, "the monitor is not responding (it holds its mutex)")


class _LibraryNotFound(VantorixError):
    def __init__(self, message: str) -> None:
        super().__init__(_NOT_FOUND, message)
        self.monitor_running = None
        self.hint = _INSTALL


@dataclasses.dataclass
class Snapshot:
    """One record, with the per-core lists cut to the cores that exist, and
    None for each reading the monitor did not report."""
    cpu_name: str
    cpu_total: int
    core_total: int
    core_load: List[int]
    temp: List[Optional[float]]
    tj_max: List[Optional[int]]
    vid_value: Optional[float]
    cpu_clock: Optional[float]
    fsb_clock: Optional[float]
    clock_multiplier: Optional[float]
    fahrenheit: bool
    distance_to_tj_max: bool
    # Whether a running monitor holds the record's region: False for a dead
    # monitor's last record, None where it cannot be known (Windows), as
    # "monitor_alive" in vantorix-info's JSON.
    monitor_alive: Optional[bool] = None


_library: Optional[ctypes.CDLL] = None


def _candidates() -> Iterator[str]:
    names = ["GetVantorixInfo.dll"] if _WINDOWS else ["libGetVantorixInfo.so.1", "libGetVantorixInfo.so"]
    folders = [os.environ.get("VANTORIX_LIBRARY_DIR"), os.path.dirname(os.path.abspath(__file__))]
    for folder in filter(None, folders):
        for name in names:
            yield os.path.join(folder, name)
    found = ctypes.util.find_library("GetVantorixInfo")
    yield from ([found] if found else []) + names


def load_library() -> ctypes.CDLL:
    """Loads the library once and declares what this module calls."""
    global _library
    if _library is not None:
        return _library
    errors: List[str] = []
    for candidate in _candidates():
        try:
            if _WINDOWS:
                library = ctypes.CDLL(candidate, use_last_error=True)
            else:
                library = ctypes.CDLL(candidate, use_errno=True)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise _LibraryNotFound("GetVantorixInfo library not found: " + "; ".join(errors))
    library.fnGetVantorixInfo.argtypes = [ctypes.POINTER(ctypes.POINTER(SharedData))]
    library.fnGetVantorixInfo.restype = ctypes.c_bool
    _library = library
    return library


def _last_error() -> int:
    return ctypes.get_last_error() if _WINDOWS else ctypes.get_errno()


# The library's code for a copy that faulted (SHAREDMEM_COPY_ERROR in
# GetVantorixInfo.h), and its text for every code with that bit.
_COPY_ERROR = 0x20000000
_COPY_ERROR_TEXT = "Unknown error occured while copying shared memory."


def _message(code: int) -> str:
    """The text GetErrorMessage gives for `code`: the library's own for a
    faulted copy, else the system's (strerror on Linux, FormatMessage on
    Windows), as the .NET binding words it."""
    if code & _COPY_ERROR:
        return _COPY_ERROR_TEXT
    return ctypes.FormatError(code) if _WINDOWS else os.strerror(code)


def _shortest(value: float) -> float:
    """The shortest decimal that reads back as the same single-precision
    value, as vantorix-info prints it."""
    if not math.isfinite(value):
        return value
    for digits in range(1, 10):  # nine digits always suffice
        text = "%.*g" % (digits, value)
        try:
            if struct.unpack("<f", struct.pack("<f", float(text)))[0] == value:
                return float(text)
        except OverflowError:  # rounded past the largest single-precision value
            pass
    return value


def _reported(value: float) -> Optional[float]:
    """A reading, or None for 0: the record's "not reported"."""
    return _shortest(value) if value != 0 else None


class _Copy:
    """One call of fnGetVantorixInfo on a thread of its own: the library waits
    for the monitor's mutex without a deadline, and a wait in a foreign call
    cannot be interrupted. A read that gives up leaves the call to finish on
    its own; the next read waits for that call rather than start another."""

    def __init__(self, library: ctypes.CDLL) -> None:
        self.done = threading.Event()
        self.record = SharedData()
        self.ok = False
        self.code = 0
        threading.Thread(target=self._run, args=(library,), name="vantorix-read", daemon=True).start()

    def _run(self, library: ctypes.CDLL) -> None:
        global _copy
        pointer = ctypes.pointer(self.record)
        self.ok = bool(library.fnGetVantorixInfo(ctypes.byref(pointer)))
        self.code = 0 if self.ok else _last_error()  # this thread's code
        with _copy_lock:
            _copy = None
        self.done.set()


_copy_lock = threading.Lock()
_copy: Optional[_Copy] = None


def _copy_record(library: ctypes.CDLL, timeout: Optional[float]) -> _Copy:
    global _copy
    with _copy_lock:
        if _copy is None:
            _copy = _Copy(library)
        copy = _copy
    # Short waits, so that Ctrl-C is seen at once on every platform.
    deadline = None if timeout is None else time.monotonic() + timeout
    while not copy.done.wait(0.05 if deadline is None else max(0.0, min(0.05, deadline - time.monotonic()))):
        if deadline is not None and time.monotonic() >= deadline:
            raise VantorixNotResponding()
    return copy


def _monitor_alive() -> Optional[bool]:
    """Linux: a monitor holds an exclusive flock on its region for its whole
    life, so a shared lock taken at once means that none does. The region is
    opened and accepted as the library does; the lock goes with the close."""
    if _WINDOWS:
        return None
    try:
        fd = os.open("/dev/shm/VantorixMappingObject.%d" % os.geteuid(),
                     os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if (not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid() or info.st_nlink != 1
                or info.st_mode & (stat.S_IWGRP | stat.S_IWOTH)):
            return None
        import fcntl  # POSIX only
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        except OSError:
            return None
    finally:
        os.close(fd)


def read(timeout: Optional[float] = 3.0) -> Snapshot:
    """Copies the monitor's current record. Waits at most `timeout` seconds
    (None: without a deadline) for a monitor holding its mutex, then raises
    VantorixNotResponding; raises VantorixError on any other failure."""
    if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError("timeout must be a positive number of seconds, or None")
    library = load_library()
    copy = _copy_record(library, timeout)
    if not copy.ok:
        raise VantorixError(copy.code, _message(copy.code))
    record = copy.record
    cores = max(0, min(record.core_total, 256))
    # 8-bit characters, each byte the character of that number (ISO-8859-1),
    # as in every output of vantorix-info; ctypes stops at the first zero.
    name = record.cpu_name.decode("latin-1")
    # In distance-to-TjMax mode a temperature of 0 is a core at TjMax.
    distance = record.distance_to_tj_max != 0
    return Snapshot(
        cpu_name=name,
        cpu_total=record.cpu_total,
        core_total=record.core_total,
        core_load=list(record.core_load[:cores]),
        temp=[_shortest(t) if distance else _reported(t) for t in record.temp[:cores]],
        tj_max=[t if t != 0 else None for t in record.tj_max[:min(cores, 128)]],
        vid_value=_reported(record.vid_value),
        cpu_clock=_reported(record.cpu_clock),
        fsb_clock=_reported(record.fsb_clock),
        clock_multiplier=_reported(record.clock_multiplier),
        fahrenheit=record.fahrenheit != 0,
        distance_to_tj_max=distance,
        monitor_alive=_monitor_alive(),
    )
