// vantorix-bridge: run inside a Wine prefix, it publishes the record that a
// Linux publisher of the same user publishes in /dev/shm under the monitor's
// own named mutex and file mapping, so that Windows programs in the prefix
// read this machine's readings as from a monitor on Windows.
#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#include "LinuxFiles.h"
#include "LinuxRegion.h"
#include "ObjectNames.h"
#include "Publisher.h"
#include "WindowsObjects.h"

namespace {

const char DESCRIPTION[] =
    "Publishes the readings of a Linux vantorix-publisher of this user to the\n"
    "Windows programs of this Wine prefix, under the Vantorix monitor's own\n"
    "named objects, until Ctrl-C or the prefix shuts down. While no publisher\n"
    "runs on Linux, the objects are withdrawn: readers see \"not running\"; while\n"
    "the Linux mutex stays held for 3 s or more, so is the Windows one: readers\n"
    "see \"not responding\", as on Linux.";

const char FOOTER[] =
    "The Linux user id is, unless --uid says otherwise, the effective uid of the\n"
    "prefix's Wine processes, read from /proc/self/status.\n"
    "Exit status: 0 stopped; 1 cannot start or go on (another bridge or a monitor\n"
    "holds the names, not under Wine); 2 bad command line.";

HANDLE g_stop = NULL;
HANDLE g_done = NULL;

// Ctrl-C and Ctrl-Break stop the loop. For a closed console, a logoff or the
// prefix shutting down, the process ends when this returns: wait for the
// loop to withdraw the objects first.
BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        SetEvent(g_stop);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        SetEvent(g_stop);
        WaitForSingleObject(g_done, 5000);
        return TRUE;
    default:
        return FALSE;
    }
}

void Say(const std::string& text) {
    std::printf("vantorix-bridge: %s\n", text.c_str());
    std::fflush(stdout);
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "vantorix-bridge: %s\n", text.c_str());
    return 1;
}

// Why nothing is published, for a Take other than Record, Same and Unsettled.
const char* Reason(Take take) {
    switch (take) {
    case Take::Absent:
        return "no publisher (no region)";
    case Take::Leftover:
        return "no publisher (its region is a leftover: nobody holds its lifetime lock)";
    case Take::Foreign:
        return "the region's publisher runs as another user: not forwarded";
    default:
        return "the region is shorter than a record";
    }
}

// The Linux readers give up on a monitor that keeps its mutex for their
// timeout (vantorix-info's default --timeout): past it, Windows readers are
// made to wait for theirs, and so give up the same way.
const unsigned long long HELD_MS = 3000;

int Run(CLinuxRegion* region, DWORD interval_ms) {
    CWindowsObjects windows;
    bool current = false;  // the Windows region holds the last copy
    bool busy = false;
    Take seen = Take::Unsettled;
    while (WaitForSingleObject(g_stop, interval_ms) == WAIT_TIMEOUT) {
        const Take take = region->Copy();
        if (take == Take::Record || (take == Take::Same && !current)) {
            const bool published = windows.Published();
            std::uint32_t error = 0;
            const CWindowsObjects::Result result = windows.Publish(region->Last(), &error);
            if (result == CWindowsObjects::Result::Failed) {
                return Fail("cannot publish in this prefix: " + CreateErrorText(error));
            }
            current = result == CWindowsObjects::Result::Done;
            if (current && !published) Say("publishing");
            if (!current && !busy) Say("waiting: a Windows program keeps the monitor's mutex");
            busy = !current;
        } else if (take != Take::Same && take != Take::Unsettled && (windows.Published() || windows.Holding())) {
            windows.Withdraw();  // the objects vanish with our handles
            current = false;
            Say(std::string("withdrawn: ") + Reason(take));
        } else if (take != Take::Same && take != Take::Unsettled && take != seen) {
            Say(std::string("waiting: ") + Reason(take));
        }
        if (take != Take::Unsettled) seen = take;

        const bool held = region->HeldFor() >= HELD_MS;
        if (held && !windows.Holding() && windows.Hold()) {
            Say("the Linux mutex stays held: holding the Windows one too");
        } else if (!held && windows.Holding() && current) {
            windows.Release();
            Say("the Linux mutex is free again");
        }
    }
    windows.Withdraw();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(DESCRIPTION, "vantorix-bridge");
    app.footer(FOOTER);
    long long uid = -1;
    double interval = 0.1;
    app.add_option("--uid", uid, "the Linux user whose publisher to forward")->check(CLI::Range(0LL, 4294967294LL));
    app.add_option("--interval", interval, "seconds between copies (default 0.1; 0: as fast as it can)")
        ->check(CLI::Range(0.0, 60.0));
    bool no_locks = false;
    app.add_flag("--no-locks", no_locks,
                 "do without /proc/locks, where it does not list the publisher's locks (a PID namespace of the "
                 "prefix's own): two equal reads make a copy, and any region is forwarded");
    app.set_version_flag("--version", "vantorix-bridge " VANTORIX_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }

    if (DosPath("/").empty()) return Fail("this program runs only under Wine");
    unsigned own_uid = 0;
    bool nested = false;
    const bool status_known = ReadOwnStatus(&own_uid, &nested);
    if (uid < 0 && !status_known) return Fail("cannot find the Linux user id: give it with --uid");
    // Only one bridge per prefix, and none beside a monitor of the prefix.
    const HANDLE instance = CreateMutexW(NULL, FALSE, L"VantorixBridgeInstance");
    if (instance == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        return Fail("another vantorix-bridge runs in this prefix");
    }
    const HANDLE existing = OpenFileMappingW(FILE_MAP_READ, FALSE, L"" VANTORIX_MAPPING_NAME);
    if (existing != NULL) {
        CloseHandle(existing);
        return Fail("a monitor already publishes in this prefix");
    }

    g_stop = CreateEventW(NULL, TRUE, FALSE, NULL);
    g_done = CreateEventW(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnControl, TRUE);
    CLinuxRegion region(uid < 0 ? own_uid : static_cast<unsigned>(uid), status_known && !nested && !no_locks);
    char line[200];
    std::snprintf(line, sizeof(line), "forwarding %s every %g s%s", region.Path().c_str(), interval,
                  region.UsesLocks() ? "" : " (without /proc/locks: two equal reads make a copy)");
    Say(line);
    const int status = Run(&region, static_cast<DWORD>(interval * 1000 + 0.5));
    Say("stopped");
    SetEvent(g_done);
    CloseHandle(instance);
    return status;
}
