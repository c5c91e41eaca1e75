// Windows: the same file as on Linux, under %LOCALAPPDATA%, replaced whole:
// a new file beside it, flushed, then moved over it. The new file is open
// with no sharing while it is written, so that a second server's start
// cannot delete it (Windows deletes no file that is open that way): that is
// what Linux's lock on it does.
#include <windows.h>

#include <cwctype>
#include <random>

#include "HistoryFile.h"
#include "Text.h"
#include "WindowsFile.h"

namespace {

// The folder of `path` (either separator), "" when it has none.
std::wstring Folder(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

// The folder and those above it, as `mkdir` makes them; a drive ("C:") or
// a share's root is there already.
void MakeFolders(const std::wstring& folder) {
    for (std::size_t at = folder.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = folder.find_first_of(L"\\/", at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    }
    if (!folder.empty()) CreateDirectoryW(folder.c_str(), nullptr);
}

// A temporary of a save to `name`: "NAME.XXXXXX", six letters or digits.
bool TemporaryOf(const std::wstring& name, const std::wstring& entry) {
    if (entry.size() != name.size() + 7 || entry.compare(0, name.size(), name) != 0 || entry[name.size()] != L'.') {
        return false;
    }
    for (std::size_t at = name.size() + 1; at < entry.size(); ++at) {
        if (!std::iswalnum(entry[at]) || entry[at] > 0x7f) return false;
    }
    return true;
}

// A new file beside `path`, "PATH.XXXXXX", open for writing and shared with
// nobody; INVALID_HANDLE_VALUE when none could be made.
HANDLE NewTemporary(const std::wstring& path, std::wstring* temporary) {
    static const wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device entropy;
    for (int tries = 0; tries < 100; ++tries) {
        *temporary = path + L".";
        for (int i = 0; i < 6; ++i) *temporary += letters[entropy() % 62];
        HANDLE file = CreateFileW(temporary->c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string DefaultHistoryPath() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    std::wstring path(folder, length);
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    path += L"\\GetVantorixInfo\\history";
    return Utf8(reinterpret_cast<const vantorix_utf16*>(path.c_str()));
}

bool WriteHistoryFile(const std::string& path, const std::string& bytes, std::string* why) {
    const std::wstring target = Utf16(path);
    MakeFolders(Folder(target));
    std::wstring temporary;
    HANDLE file = NewTemporary(target, &temporary);
    if (file == INVALID_HANDLE_VALUE) {
        *why = SystemWhy("cannot make a file beside it");
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file);
    if (!ok) *why = SystemWhy("cannot write it");
    if (!CloseHandle(file) && ok) {
        ok = false;
        *why = SystemWhy("cannot write it");
    }
    // Write-through: the move is on disk when it returns.
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        *why = SystemWhy("cannot move it into place");
    }
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

void RemoveTemporaries(const std::string& path) {
    const std::wstring target = Utf16(path);
    const std::wstring folder = Folder(target);
    const std::wstring name = target.substr(folder.empty() ? 0 : folder.size() + 1);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((target + L".*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        // A link or a folder of that name is left alone; DeleteFileW removes
        // a name, and fails on a file a save in progress holds.
        if (!TemporaryOf(name, entry.cFileName) ||
            (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            continue;
        }
        const std::wstring found = folder.empty() ? entry.cFileName : folder + L"\\" + entry.cFileName;
        HANDLE file = CreateFileW(found.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        const bool ours = OwnedByUs(file);
        CloseHandle(file);
        if (ours) DeleteFileW(found.c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
