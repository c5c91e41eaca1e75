#!/usr/bin/env python3
"""Plants realistic one-line bugs in the library, vantorix-info and vantorix-publisher, one at a time, and checks
that the tests meant to catch each one fail.

    scripts/mutate.py [--suite linux|mingw-x64] [--only TEXT ...] [--scratch DIR]

Each mutant below is one line: the suites it applies to, a file, a text that
occurs exactly once in it, its replacement, and the tests that should fail
(ctest arguments; the unit label by default). The source tree is copied to a
scratch folder, whose build is reused from mutant to mutant; the tree itself
is never changed. A mutant is KILLED when its tests fail (a crash or a hang
past five minutes counts), SURVIVED when they pass. Mutants marked equivalent
change no behaviour a client can see, and mutants marked unobservable change
behaviour this machine cannot show (the reason is given for each); both are
left out of the score and listed as EQUIVALENT and UNSEEN (if they are
killed after all, they count as killed). Not run in CI: it builds once per
mutant.

A Linux run needs a private /dev/shm: run as root, it starts itself again in
a mount namespace of its own with a fresh tmpfs there.
"""
import argparse
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOTH = ("linux", "mingw-x64")
LINUX = ("linux",)
WIN = ("mingw-x64",)
LP = "src/platform/platform_linux.cpp"
WP = "src/platform/platform_win32.cpp"
SM = "src/sharedmem/SharedMemClient.cpp"
PX = "src/proxy/VantorixProxy.cpp"
EN = "src/entry/GetVantorixInfo.cpp"
TX = "tools/reading/Text.cpp"
TB = "tools/reading/TableOutput.cpp"
PO = "tools/reading/PrometheusOutput.cpp"
OU = "tools/reading/Outputs.h"
VI = "tools/reader/VantorixInfo.cpp"
CL = "tools/reader/CommandLine.cpp"
AL = "prometheus/vantorix-alerts.yml"
LV = "tools/reading/liveness_linux.cpp"
JS = "tools/reading/Text.h"  # JSON's float type
RD = "tools/reading/Reading.cpp"
SV = "tools/serve/Routes.cpp"
HS = "tools/serve/http/HttpSession.h"
EQ = "tools/serve/http/EventQueue.h"
CN = "tools/serve/http/Connections.h"
CK = "tools/serve/http/Client.h"
LI = "tools/serve/http/Listener.cpp"
SERVE = "-R ^serve$"
UNIT = "-R ^serve_tests$"  # the server's logic where it lives (routes, sessions, password checks, web config)
CONN = "-R ^connections_tests$"
PL = "tools/publisher/publisher_linux.cpp"
LS = "tools/publisher/LiveSource.cpp"
SF = "tools/files/bounded_file_linux.cpp"
WC = "tools/serve/web/WebConfig.cpp"
BA = "tools/serve/web/BasicAuth.cpp"
WT = "tools/serve/web/web_config_linux.cpp"
PC = "tools/serve/http/PasswordChecks.cpp"
WEB = "-R ^web_config$"
HI = "tools/serve/history/History.cpp"
PA = "tools/parse/Numbers.cpp"
TOOL = "-R reader_tool"
PUBLISHER = "-R ^publisher$"


def M(suites, path, old, new, tests="-L unit", equivalent=None, unobservable=None):
    return dict(suites=suites, path=path, old=old, new=new, tests=tests.split(), equivalent=equivalent,
                unobservable=unobservable)


MUTANTS = [
    # Locking and releasing.
    M(LINUX, LP, "flock(Descriptor(mutex), LOCK_UN);", ";"),
    M(LINUX, LP, "flock(Descriptor(mutex), LOCK_EX) != 0", "false"),
    M(LINUX, LP, "flock(Descriptor(mutex), LOCK_EX) != 0", "flock(Descriptor(mutex), LOCK_SH) != 0",
      equivalent="readers only read: a shared lock still excludes the monitor's exclusive one"),
    M(LINUX, LP, "    close(Descriptor(mutex));", ";"),
    M(LINUX, LP, "    close(Descriptor(region));", ";"),
    M(WIN, WP, "::ReleaseMutex(AsHandle(mutex));", ";"),
    M(WIN, WP, "WaitForSingleObject(AsHandle(mutex), INFINITE);", ";"),
    M(WIN, WP, "CloseHandle(AsHandle(mutex));", ";"),
    M(WIN, WP, "CloseHandle(AsHandle(region));", ";"),
    M(WIN, WP, "UnmapViewOfFile(reinterpret_cast<const void*>(view));", ";"),
    M(BOTH, SM, "&region)) {\n        Platform::ReleaseMutex(mutex);", "&region)) {"),
    M(BOTH, SM, "Platform::ReleaseMutex(mutex);\n    Platform::CloseMutex(mutex);\n    return result;",
      "Platform::CloseMutex(mutex);\n    Platform::ReleaseMutex(mutex);\n    return result;"),
    M(BOTH, SM, "Platform::SetLastErrorCode(SHAREDMEM_COPY_ERROR);",
      "Platform::SetLastErrorCode(SHAREDMEM_COPY_ERROR); Platform::CloseRegion(region); "
      "Platform::CloseMutex(mutex); return false;"),
    # Error codes and texts.
    M(BOTH, SM, "Platform::SetLastErrorCode(SHAREDMEM_COPY_ERROR);", ";"),
    M(BOTH, EN, "Platform::SetLastErrorCode(Platform::InvalidParameterCode());", ";"),
    M(BOTH, EN, "slot == nullptr || *slot == nullptr", "slot == nullptr"),
    M(BOTH, PX, "SYSTEM_MESSAGE_CAPACITY = ERROR_MESSAGE_CAPACITY - 1;", "SYSTEM_MESSAGE_CAPACITY = ERROR_MESSAGE_CAPACITY;"),
    M(BOTH, PX, "APPLICATION_ERROR_BIT = 0x20000000u;", "APPLICATION_ERROR_BIT = 0x40000000u;"),
    M(LINUX, LP, "if (length + 1 > capacity) {", "if (length > capacity) {"),
    M(LINUX, LP, "    text[0] = 0;\n    // The C library's", "    // The C library's"),
    M(LINUX, LP, "    errno = saved;\n    return complete;", "    return complete;"),
    M(WIN, WP, "text[0] = 0;  // a failed call may have left part of a text behind", ";"),
    # Access rights and what is accepted as the monitor's object.
    M(LINUX, LP, "name, O_RDONLY, Kind::Region", "name, O_RDWR, Kind::Region"),
    M(LINUX, LP, "name, O_RDONLY | O_CREAT, Kind::Mutex", "name, O_RDWR | O_CREAT, Kind::Mutex"),
    M(LINUX, LP, "O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC", "O_NOFOLLOW | O_CLOEXEC"),
    M(LINUX, LP, "O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC", "O_NONBLOCK | O_CLOEXEC"),
    M(LINUX, LP, "errno == ELOOP || errno == EISDIR", "errno == EISDIR"),
    M(LINUX, LP, "errno == ELOOP || errno == EISDIR", "errno == ELOOP"),
    M(LINUX, LP, "!S_ISREG(info.st_mode) || ", ""),
    M(LINUX, LP, " || info.st_uid != uid", ""),
    M(LINUX, LP, "static_cast<Namespace>(geteuid())", "static_cast<Namespace>(getuid())",
      equivalent="the tests and their clients run with equal real and effective uids"),
    M(LINUX, LP, "errno == EISDIR || errno == ENXIO", "errno == EISDIR"),
    M(LINUX, LP, "(S_IWGRP | S_IWOTH)) == 0 && info.st_nlink == 1", "(S_IWGRP | S_IWOTH)) == 0"),
    M(LINUX, LP, "(S_IWGRP | S_IWOTH)) == 0 && info.st_nlink == 1", "S_IWOTH) == 0 && info.st_nlink == 1"),
    M(LINUX, LP, "if ((info.st_mode & GROUP_AND_OTHERS) != 0) {", "if ((info.st_mode & S_IRWXO) != 0) {"),
    M(LINUX, LP, "(info.st_mode & 0777) != OWNER_ONLY && fchmod(fd, OWNER_ONLY) != 0", "false"),
    M(LINUX, LP, "fd = open(path, flags | OPEN_FLAGS, OWNER_ONLY);", "fd = open(path, flags | OPEN_FLAGS, 0644);"),
    M(WIN, WP, "OpenFileMappingW(FILE_MAP_READ,", "OpenFileMappingW(FILE_MAP_ALL_ACCESS,"),
    M(WIN, WP, "MapViewOfFile(AsHandle(region), FILE_MAP_READ,", "MapViewOfFile(AsHandle(region), FILE_MAP_WRITE,"),
    M(WIN, WP, "handle = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, WideName(name));", ";",
      unobservable="Wine grants CreateMutexW full access to an existing mutex whatever its descriptor"),
    # Bounds and the copy.
    M(BOTH, SM, "GuardedCopy(dest, view, sizeof(vantorix_shared_data))", "GuardedCopy(dest, view, sizeof(dest))"),
    M(LINUX, LP, "complete = false;  // EFAULT, or the region ended early", "complete = n == 0;"),
    M(WIN, WP, '"    shrq $4, %rax\\n"', '"    shrq $5, %rax\\n"'),
    M(WIN, WP, "if ((record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION &&\n"
               "         record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) ||\n"
               "        record->NumberParameters < 2) {", "if (record->NumberParameters < 2) {"),
    M(WIN, WP, "(address - source >= span && address - dest >= span)",
      "(address - source >= span || address - dest >= span)"),
    M(WIN, WP, "    RemoveVectoredExceptionHandler(handler);\n    return copied;", "    return copied;"),
    M(BOTH, PX, "return index >= 0 && static_cast<std::size_t>(index) < slots;",
      "return static_cast<std::size_t>(index) < slots;",
      equivalent="a negative index converts to a size past every array, so it is refused anyway"),
    M(BOTH, PX, "return index >= 0 && static_cast<std::size_t>(index) < slots;",
      "return index >= 0 && static_cast<std::size_t>(index) <= slots;"),
    M(BOTH, PX, "InRange(index, TJ_MAX_SLOTS)", "InRange(index, CORE_SLOTS)"),
    M(BOTH, PX, "snapshot.fahrenheit != 0", "snapshot.fahrenheit == 1"),
    M(BOTH, PX, "snapshot.distance_to_tj_max != 0", "snapshot.fahrenheit != 0"),
    M(BOTH, PX, "return snapshot.fsb_clock;", "return snapshot.cpu_clock;"),
    M(BOTH, PX, "return snapshot.cpu_total;", "return snapshot.core_total;"),
    M(BOTH, PX, "std::memset(&snapshot, 0, sizeof(snapshot));", ";"),

    # vantorix-info: what it makes of an untrusted record and command line.
    M(BOTH, TX, "if (c < 0x20 || c == 0x7F) {", "if (c < 0x20) {", tests=TOOL),
    M(BOTH, TX, "} else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {", "} else if (false) {", tests=TOOL),
    M(BOTH, TX, "AppendUtf8(static_cast<unsigned char>(record.cpu_name[i]), &name);", "name += record.cpu_name[i];",
      tests=TOOL),
    M(BOTH, TX, 'if (!std::isfinite(value)) return "invalid";', ";", tests=TOOL),
    M(BOTH, TB, 'line("CPU:        " + Printable(CpuName(r)));', 'line("CPU:        " + CpuName(r));', tests=TOOL),
    M(BOTH, TB, "return Clamp(record.core_total, 256);", "return Clamp(record.core_total, 257);", tests=TOOL),
    M(BOTH, PO, 'if (std::isnan(value)) return "NaN";', ";", tests=TOOL),
    M(BOTH, PO, "for (char c : Printable(text)) {", "for (char c : text) {", tests=TOOL),
    M(LINUX, PO, "Converted(distance ? r.temp[core] * 5.0 / 9 : Celsius(r.temp[core]))",
      "Converted(Celsius(r.temp[core]))", tests="-R metrics"),
    M(LINUX, PO, "return Value(static_cast<float>(value));", 'return Number("%.9g", value);', tests="-R metrics"),
    M(LINUX, PO, "Converted(megahertz * 1e6)", "Value(megahertz)", tests="-R metrics"),
    M(LINUX, AL, "vantorix_up == 0 and vantorix_responding == 1", "vantorix_up == 0", tests="-R alert_rules"),
    M(LINUX, AL, "(vantorix_core_tjmax_celsius - vantorix_core_temperature_celsius) < 10",
      "(vantorix_core_tjmax_celsius - vantorix_core_temperature_celsius) <= 10", tests="-R alert_rules"),
    M(LINUX, OU, "return value != 0;", "return true;", tests="-R not_reported|reader_tool"),
    M(LINUX, OU, "return record.distance_to_tj_max != 0 || Reported(record.temp[core]);",
      "return Reported(record.temp[core]);", tests="-R not_reported|reader_tool"),
    M(LINUX, VI, "        return EXIT_NOT_RESPONDING;", "        return EXIT_READ_FAILED;", tests=TOOL),
    M(LINUX, VI, "if (Write(RenderPrometheus(reading))) return EXIT_OK;",
      "if (Write(RenderPrometheus(reading))) return ExitStatus(reading);", tests="-R metrics"),
    M(BOTH, CL, " || (!inclusive && value == min)", "", tests=TOOL),
    M(BOTH, PA, "|| !std::isfinite(number) ||", "||", tests=TOOL),
    M(BOTH, PA, "read.ptr != end || number < low ||", "read.ptr != end || number + 1 < low ||", tests=TOOL),
    M(BOTH, CL, "if (!watch.empty() && !watch[0].empty())", "if (!watch.empty())", tests=TOOL),
    # vantorix-info: whether the monitor lives, and an unchanged record.
    M(LINUX, LV, "liveness = Liveness::Stopped;", "liveness = Liveness::Alive;", tests=TOOL),
    M(LINUX, VI, "return reading.liveness == Liveness::Stopped ? EXIT_MONITOR_STOPPED : EXIT_OK;", "return EXIT_OK;",
      tests=TOOL),
    M(LINUX, RD, "reading->unchanged = threshold_ > 0 &&", "reading->unchanged =", tests="-R metrics"),
    M(BOTH, PO, 'if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";', 'if (std::isinf(value)) return "+Inf";',
      tests=TOOL),
    M(BOTH, JS, "std::uint64_t, float>", "std::uint64_t, double>", tests=TOOL),
    M(LINUX, VI, "case Reading::Status::Failed:\n        return EXIT_READ_FAILED;",
      "case Reading::Status::Failed:\n        return EXIT_NOT_RUNNING;", tests=TOOL),
    M(LINUX, RD, "std::chrono::duration<double>(timeout)", "std::chrono::seconds(static_cast<long>(timeout))",
      tests=TOOL),
    M(LINUX, RD, "    if (reading->status != Reading::Status::Ok) return;\n", "", tests="-R metrics"),
    M(LINUX, SV, "\"default-src 'self'; frame", "\"default-src 'self'; script-src 'self' 'unsafe-inline'; frame",
      tests="-R serve"),
    # vantorix-info --serve: who is answered, and who makes room for whom.
    M(BOTH, SV, 'if (name == "localhost" || IsAddressLiteral(name))',
      'if (name.compare(0, 9, "localhost") == 0 || IsAddressLiteral(name))', tests=UNIT),
    M(BOTH, EQ, "if (waiting_) return Next::Drop;", "if (false) return Next::Drop;", tests=UNIT),
    M(BOTH, SV, "const std::size_t colon = value.rfind(':');", "const std::size_t colon = value.find(':');",
      tests=UNIT),
    M(BOTH, SV, "if (name == Lower(allowed)) return true;", "if (name == allowed) return true;", tests=UNIT),
    M(BOTH, SV, '(!length.empty() && length != "0")', "!length.empty()", tests=UNIT),
    M(BOTH, HS, "head_bytes_ += bytes;", "head_bytes_ = bytes;", tests=UNIT,
      equivalent="the parser consumes no part of an unfinished head, so one read returns the whole head, and the "
      "parser's own limit already counts every piece of it (Session.AHeadIsCountedWhole's heads in 50-byte pieces "
      "check that)"),
    M(BOTH, HS, "        Lowest().expires_after(state_.limits.head);\n        ReadHead();",
      "        ReadHead();", tests=SERVE),
    M(LINUX, CN, "if (open_ >= cap_) DropOne();", "if (open_ > cap_) DropOne();", tests=SERVE),
    M(LINUX, CN, "group->second.size() >= share_", "group->second.size() > share_", tests=SERVE),
    M(LINUX, CN, "        return group.front();\n", "        return group.back();\n", tests=SERVE),
    M(LINUX, LI, "        if (state_.connections.DropOne()) return Accept();", "        return;", tests=UNIT),
    M(LINUX, CN, "now - connection->since_ > stalled_", "now - connection->since_ > stalled_ && false", tests=CONN),
    M(LINUX, CN, "group.second.front()->since_ < crowd->front()->since_",
      "group.second.front()->since_ > crowd->front()->since_", tests=CONN),
    M(LINUX, CN, "group.second.size() > crowd->size() ||", "false ||", tests=CONN),
    M(LINUX, CN, "held_ > budget_ &&", "held_ >= budget_ &&", tests=CONN),
    M(LINUX, CN, "bytes == 0) return;", "false) return;", tests=CONN),
    M(LINUX, CN, "        Release(connection);\n        connection->state_ = state;", "        connection->state_ = state;",
      tests=CONN),
    M(LINUX, CK, "bytes.data()), 8)", "bytes.data()), 16)", tests=CONN),
    M(LINUX, CK, "if (address.is_v6() && address.to_v6().is_v4_mapped())", "if (false)", tests=CONN),

    # --web-config: the file as untrusted input, basic auth, and password checks under a flood.
    M(LINUX, WC, "if (!first.second) {", "if (false) {", tests=UNIT),
    M(LINUX, WC, "if (open_.empty() || !open_.back().map) return;",
      "if (open_.size() != 1 || !open_.back().map) return;", tests=UNIT),
    M(LINUX, WC, "if (cost > MAX_BCRYPT_COST) {", "if (cost > 31) {", tests=UNIT),
    M(LINUX, WC, "if (users.size() > MAX_USERS) {", "if (false) {", tests=UNIT),
    M(LINUX, SF, "    if (!S_ISREG(status.st_mode)) return Refused(", "    if (false) return Refused(", tests=UNIT,
      equivalent="the descriptor, opened without blocking, is checked again"),
    M(LINUX, SF, "if (!S_ISREG(status.st_mode)) return Refused(why, name + \" is \" + Kind(status.st_mode) + "
      "\", not a regular file\");\n", "", tests=UNIT + "|^web_config$"),
    M(LINUX, "tools/serve/web/WebConfig.h", "MAX_CONFIG_BYTES = 1 << 20;", "MAX_CONFIG_BYTES = 1 << 24;", tests=UNIT),
    M(LINUX, BA, "const int padding = (encoded.back() == '=') + (encoded[encoded.size() - 2] == '=');",
      "const int padding = (encoded.back() == '=');", tests=UNIT),
    M(LINUX, BA, " && password.find('\\0') == std::string::npos;", ";", tests=UNIT),
    M(LINUX, WC, "if (++documents > 1) {", "if (++documents > 2) {", tests=UNIT),
    M(LINUX, WC, "if (!verifies && !config->client_ca_file.empty()) {", "if (false) {", tests=UNIT),
    M(LINUX, BA, "return hash.replace(4, 2, cost);", "return hash;", tests=UNIT),
    M(LINUX, BA, "    accepted_.insert(key);", "    ;", tests=UNIT),
    M(LINUX, PC, "if (queue.size() >= PER_ADDRESS) return false;", "if (queue.size() > PER_ADDRESS) return false;",
      tests=UNIT),
    M(LINUX, WT, ": ssl::verify_peer);", ": ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);", tests=WEB),
    M(LINUX, PC, "if (last != shared.turns.end()) shared.turns.splice(shared.turns.end(), shared.turns, last);", ";",
      tests=UNIT),
    M(LINUX, PC, "if (queue.size() >= PER_ADDRESS) return false;", ";", tests=UNIT),
    M(LINUX, PC, "lock.unlock();\n        bool passed = false;\n        try {\n            passed = shared->check(job.authorization);\n"
      "        } catch (const std::exception&) {  // out of memory: refused, and the thread goes on\n        }\n"
      "        lock.lock();", "bool passed = shared->check(job.authorization);", tests=WEB),
    M(LINUX, SV, "if (!passed) response.close = true;", ";", tests=WEB),

    # vantorix-publisher: its objects, and the tree it reads as untrusted.
    M(LINUX, PL, "if (Fd(region_) != NO_FD && SameFile(Fd(region_), path)) unlink",
      "if (Fd(region_) != NO_FD) unlink", tests=PUBLISHER),
    M(LINUX, PL, "(info.st_mode & 0777) == OWNER_ONLY || fchmod", "(info.st_mode & 0077) == 0 || fchmod",
      tests=PUBLISHER),
    M(LINUX, SF, "O_RDONLY | O_NONBLOCK | O_NOCTTY", "O_RDONLY | O_NOCTTY", tests="-R live_source|^publisher$",
      equivalent="a FIFO or a device is refused by the stat before the open; only one swapped in between blocks"),
    M(LINUX, PA, "read.ec != std::errc() || read.ptr != end ||", "read.ptr == text.data() ||",
      tests="-R live_source|^publisher$"),
    M(LINUX, LS, "const Range TJ_MAX = {1000, 255000};", "const Range TJ_MAX = {1000, 2550000};",
      tests="-R live_source|^publisher$"),
    M(LINUX, LS, "if (i < 128) record->tj_max[i]", "if (i <= 128) record->tj_max[i]", tests="-R live_source"),
    M(LINUX, LS, "static_cast<std::int32_t>(limit + 0.5f)", "static_cast<std::int32_t>(limit)", tests="-R live_source"),
    M(LINUX, LS, "if (cpu < 0 || info.topology.count(cpu) != 0) {", "if (cpu < 0) {", tests="-R live_source"),
    M(LINUX, SF, "if (ok && bytes->size() > rules.limit) ok = Refused(why, too_large);", ";",
      tests="-R live_source|^publisher$"),
    M(LINUX, SF, "while (ok && bytes->size() <= rules.limit) {", "while (ok) {", tests=PUBLISHER),

    # The history --serve keeps.
    M(LINUX, HI, "if (minute_time_[row] + MINUTE_MS > from_ms) take", "if (minute_time_[row] + MINUTE_MS >= from_ms) take",
      tests="-R history"),
    M(LINUX, HI, "minute_count_ = std::min(minute_count_ + 1, MINUTES);", "minute_count_ = minute_count_ + 1;",
      tests="-R history"),
    M(LINUX, HI, "open_cores_ = std::max(open_cores_, cores);", "open_cores_ = cores;", tests="-R history"),
    M(LINUX, HI, "static_cast<int>(std::ceil(1 / interval - 1e-9))", "static_cast<int>(1 / interval)",
      tests="-R history"),

    # vantorix-bridge.exe: what it copies, when it withdraws, and its waits (its test needs build/linux/bin).
    M(WIN, "tools/bridge/LinuxRegion.cpp", "if (!writing && std::memcmp(&first, &second, sizeof(first)) == 0) {",
      "if (std::memcmp(&first, &second, sizeof(first)) == 0) {", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/LockTable.cpp", "minor == file.minor && inode == file.inode", "inode == file.inode",
      tests="-R ^bridge$"),
    M(WIN, "tools/bridge/VantorixBridge.cpp", "take != Take::Same && take != Take::Unsettled && (windows.Published()",
      "take != Take::Same && (windows.Published()", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/VantorixBridge.cpp", "static_cast<DWORD>(interval * 1000 + 0.5)",
      "static_cast<DWORD>(interval + 0.5)", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/LinuxRegion.cpp", "if (region_.IsOpen() && region_.Linked()) return true;",
      "if (region_.IsOpen()) return true;", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/LinuxRegion.cpp", "looked_at_ != 0 && Now() - looked_at_ < LOOK_MS", "looked_at_ != 0",
      tests="-R ^bridge$"),
    M(WIN, "tools/bridge/VantorixBridge.cpp", "const bool held = region->HeldFor() >= HELD_MS;",
      "const bool held = false;", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/VantorixBridge.cpp", "} else if (!held && windows.Holding() && current) {",
      "} else if (false) {", tests="-R ^bridge$"),
    M(WIN, "tools/bridge/WindowsObjects.cpp", "if (!publisher_.TryLock(WAIT_MS)) return Result::Busy;",
      "publisher_.Lock();", tests="-R ^bridge$"),
]


def run(command, cwd, log, timeout=None):
    """Exit code of `command`, or -1 if it ran past `timeout` seconds (it is
    then killed with everything it started)."""
    with open(log, "ab") as out:
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", choices=BOTH, default="linux")
    parser.add_argument("--only", action="append", default=[],
                        help="run only mutants whose text contains this (repeated: one of these)")
    parser.add_argument("--scratch", default="/tmp/vantorix-mutate")
    args = parser.parse_args()

    if args.suite == "linux" and os.geteuid() == 0 and not os.environ.get("VANTORIX_PRIVATE_SHM"):
        inner = " ".join(["exec env VANTORIX_PRIVATE_SHM=1"] + [shlex.quote(a) for a in [sys.executable] + sys.argv])
        os.execvp("unshare", ["unshare", "-m", "sh", "-c",
                              f"mount -t tmpfs -o mode=1777 none /dev/shm && {inner}"])

    source = os.path.join(args.scratch, "src")
    os.makedirs(args.scratch, exist_ok=True)
    shutil.copytree(ROOT, source, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns(".git", "build", "__pycache__"))
    log = os.path.join(args.scratch, f"{args.suite}.log")
    open(log, "w").close()
    if run(["cmake", "--preset", args.suite], source, log) != 0:
        sys.exit(f"configure failed, see {log}")

    def check(tests):
        if run(["cmake", "--build", "--preset", args.suite], source, log) != 0:
            return "NO BUILD"
        # A hang counts as a kill; the tests' own timeouts are longer.
        code = run(["ctest", "--preset", args.suite, *tests], source, log, timeout=300)
        return "SURVIVED" if code == 0 else "KILLED"

    if check(["-L", "unit"]) != "SURVIVED":
        sys.exit(f"the unmutated tree does not pass its tests, see {log}")

    mutants = [m for m in MUTANTS if args.suite in m["suites"] and
               (not args.only or any(text in m["old"] + m["new"] for text in args.only))]
    counts = {}
    for number, mutant in enumerate(mutants, 1):
        path = os.path.join(source, mutant["path"])
        with open(os.path.join(ROOT, mutant["path"])) as file:
            pristine = file.read()
        if pristine.count(mutant["old"]) != 1:
            sys.exit(f"mutant {number} does not match exactly once in {mutant['path']}: {mutant['old']!r}")
        line = pristine[:pristine.index(mutant["old"])].count("\n") + 1
        with open(path, "w") as file:
            file.write(pristine.replace(mutant["old"], mutant["new"]))
        started = time.time()
        with open(log, "a") as out:
            out.write(f"\n===== mutant {number}: {mutant['path']}:{line}\n")
        outcome = check(mutant["tests"])
        with open(path, "w") as file:
            file.write(pristine)
        if outcome == "SURVIVED" and mutant["equivalent"]:
            outcome = "EQUIVALENT"
        if outcome == "SURVIVED" and mutant["unobservable"]:
            outcome = "UNSEEN"  # a real fault that this platform cannot show
        counts[outcome] = counts.get(outcome, 0) + 1
        change = " ".join(mutant["old"].split()) + "  ->  " + (" ".join(mutant["new"].split()) or "(removed)")
        print(f"{outcome:10} {time.time() - started:5.0f}s  {mutant['path']}:{line}  {change}", flush=True)

    check(["-L", "unit"])  # leave the scratch build as the tree is
    killed, survived = counts.get("KILLED", 0), counts.get("SURVIVED", 0)
    scored = killed + survived
    print(f"{args.suite}: {killed} of {scored} non-equivalent mutants killed"
          f" ({100.0 * killed / max(scored, 1):.0f}%); {counts.get('EQUIVALENT', 0)} equivalent,"
          f" {counts.get('UNSEEN', 0)} not observable here, {counts.get('NO BUILD', 0)} did not build")
    sys.exit(0 if survived == 0 and not counts.get("NO BUILD") else 1)


if __name__ == "__main__":
    main()
