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
    if (!CloseHandle(file) && ok) ok = false, *why = SystemWhy("cannot write it");
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
        if (!ok) *why = Why("cannot move it into place");
    }
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}
