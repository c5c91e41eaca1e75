// The page is written in binary (no CRLF) into a file beside it, then moved
// over it with MoveFileExW(MOVEFILE_REPLACE_EXISTING): a reader opens the old
// page or the new one, never a part. A collector that has the old page open
// without FILE_SHARE_DELETE (Go's os.Open, so windows_exporter, for the
// moment it reads) makes the move fail for that moment: it is tried again a
// few times, 10 ms apart, before this write counts as failed (not when a
// folder stands in its place, which no wait moves). Paths are UTF-8, opened
// as UTF-16.
#include <windows.h>

#include <string>

#include "Text.h"
#include "Textfile.h"
#include "WindowsFile.h"

bool ReplaceTextfile(const std::string& path, const std::string& text, std::string* why) {
    const std::wstring target = Utf16(path);
    const std::wstring temporary = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = SystemWhy("cannot make a file beside it");
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    if (!ok) *why = SystemWhy("cannot write it");
    if (!CloseHandle(file) && ok) {
        ok = false;
        *why = SystemWhy("cannot write it");
    }
    if (ok) {
        ok = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        for (int tries = 1; !ok && tries < 10; ++tries) {
            const DWORD error = GetLastError();
            const DWORD attributes = GetFileAttributesW(target.c_str());
            if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
                (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
                SetLastError(error);
                break;
            }
            Sleep(10);
            ok = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        }
        if (!ok) *why = SystemWhy("cannot move it into place");
    }
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

namespace {

// Whether process `pid` has ended (a process not found has; one that may
// not be opened has not).
bool Ended(unsigned long pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

}  // namespace

bool PrepareTextfile(const std::string& path, std::string* why) {
    wchar_t full[MAX_PATH * 4];
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(Utf16(path).c_str(), MAX_PATH * 4, full, &name);
    if (length == 0 || length >= MAX_PATH * 4) {
        *why = SystemWhy("cannot use its path");
        return false;
    }
    if (name == nullptr) {
        *why = "it names a folder, not a file";
        return false;
    }
    const std::wstring folder(full, static_cast<std::size_t>(name - full));
    const std::wstring base(name);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        *why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? "its folder " + Utf8(reinterpret_cast<const vantorix_utf16*>(folder.c_str())) + " does not exist"
                   : SystemWhy("cannot use its folder");
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = "its folder is not a folder";
        return false;
    }
    // A temporary file is there only while its process writes it: one whose
    // process has ended was left by a kill in the middle of a write. One
    // still open is not deleted (the delete fails).
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + base + L".*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    const std::string base8 = Utf8(reinterpret_cast<const vantorix_utf16*>(base.c_str()));
    unsigned long pid = 0;
    do {
        if (IsTemporaryOf(Utf8(reinterpret_cast<const vantorix_utf16*>(found.cFileName)), base8, &pid) &&
            pid != GetCurrentProcessId() && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && Ended(pid)) {
            DeleteFileW((folder + found.cFileName).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}
