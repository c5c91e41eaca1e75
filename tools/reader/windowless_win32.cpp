// vantorix-infow.exe: vantorix-info linked for Windows' GUI subsystem, as
// pythonw.exe is to python.exe: started at logon (the installer's Run entry),
// it opens no console window. What it would print, on stdout and on stderr
// alike, goes to %LOCALAPPDATA%\GetVantorixInfo\vantorix-info.log, appended
// to one stream, after a line that says when it started and with what, and
// before one that says its exit status. The log is begun anew once past
// 1 MiB, at start and while it runs (looked at once a second), with the
// start line again at its top. `vantorix-infow --stop` ends every other
// program of its name on this machine that the caller may end, and waits
// until they have ended, for an operator (the uninstaller ends them with
// Windows' taskkill.exe: it runs nothing of its install folder as the system).
#include <windows.h>

#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Options.h"
#include "Output.h"
#include "Reading.h"
#include "Text.h"

namespace {

const DWORD LOG_LIMIT = 1 << 20;
const DWORD STOP_WAIT_MS = 10000;
const DWORD LOG_CHECK_MS = 1000;

// %LOCALAPPDATA%\GetVantorixInfo: each user's own; the temporary folder
// where there is no such variable.
std::wstring LogFolder() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) length = GetTempPathW(MAX_PATH, buffer);
    std::wstring folder(buffer, length < MAX_PATH ? length : 0);
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder + L"\\GetVantorixInfo";
}

// This program's file name, as the system lists its processes.
std::wstring OwnName() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length < MAX_PATH ? length : 0);
    return full.substr(full.find_last_of(L"\\/") + 1);
}

// Ends every other process of this program's name, of every user where the
// caller may (from an administrator's prompt), and waits for each.
int StopServers() {
    const std::wstring name = OwnName();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vantorix-infow: cannot list the processes (error %lu)\n", GetLastError());
        return EXIT_READ_FAILED;
    }
    std::vector<HANDLE> ending;
    bool failed = false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || _wcsicmp(entry.szExeFile, name.c_str()) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process && TerminateProcess(process, EXIT_OK)) {
            ending.push_back(process);
            continue;
        }
        std::fprintf(stderr, "vantorix-infow: cannot end process %lu (error %lu)\n", entry.th32ProcessID,
                     GetLastError());
        failed = true;
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    for (HANDLE process : ending) {
        if (WaitForSingleObject(process, STOP_WAIT_MS) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "vantorix-infow: process %lu did not end\n", GetProcessId(process));
            failed = true;
        }
        CloseHandle(process);
    }
    std::fprintf(stderr, "vantorix-infow: ended %u server(s)\n", static_cast<unsigned>(ending.size()));
    return failed ? EXIT_READ_FAILED : EXIT_OK;
}

}  // namespace

int StartOutput(int argc, char** argv) {
    const std::wstring folder = LogFolder();
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring log = folder + L"\\vantorix-info.log";
    // Without a log it runs all the same, with nowhere to say anything.
    if (_wfreopen(log.c_str(), L"a", stdout) && _wfreopen(log.c_str(), L"a", stderr)) {
        // One stream: stderr writes through stdout's handle, each line at
        // once, in order, always at the end.
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        _dup2(_fileno(stdout), _fileno(stderr));
        static const std::string started = std::string("vantorix-infow " VANTORIX_VERSION " started, process ") +
                                           std::to_string(GetCurrentProcessId()) + ": " +
                                           Utf8(GetCommandLineW());
        const bool full = _filelengthi64(_fileno(stdout)) > LOG_LIMIT;
        if (full) _chsize_s(_fileno(stdout), 0);
        std::fprintf(stderr, "%s %s\n", Timestamp().c_str(), started.c_str());
        std::thread([] {
            for (;;) {
                Sleep(LOG_CHECK_MS);
                // No line is half written while the log is cut: each line
                // is written under its stream's lock.
                _lock_file(stdout);
                _lock_file(stderr);
                if (_filelengthi64(_fileno(stdout)) > LOG_LIMIT && _chsize_s(_fileno(stdout), 0) == 0) {
                    std::fprintf(stderr, "%s the log was past 1 MiB, begun anew; %s\n", Timestamp().c_str(),
                                 started.c_str());
                }
                _unlock_file(stderr);
                _unlock_file(stdout);
            }
        }).detach();
    }
    if (argc == 2 && std::strcmp(argv[1], "--stop") == 0) return StopServers();
    return -1;
}

void EndOutput(int status) {
    std::fprintf(stderr, "%s vantorix-infow exited with status %d\n", Timestamp().c_str(), status);
}
