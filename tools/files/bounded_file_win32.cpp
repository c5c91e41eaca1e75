// Windows: opened by its UTF-8 path for reading only, with every sharing
// mode, so a writer is never held up; a reparse point (a symbolic link or a
// junction) is opened itself, not followed, where the caller takes no link.
// Anything but a file on disk (a pipe, a console, a device) is refused once
// open, before a byte is read.
#include <windows.h>

#include <algorithm>

#include "BoundedFile.h"
#include "WindowsFile.h"

namespace {

bool Refused(std::string* why, const std::string& text) {
    *why = text;
    return false;
}

}  // namespace

bool ReadBoundedFile(const std::string& path, const std::string& name, const FileRules& rules, std::string* bytes,
                     std::string* why) {
    why->clear();
    const std::string too_large =
        name + " is larger than " + std::to_string(rules.limit / 1024) + " KiB, more than such a file needs";
    const DWORD no_link = rules.follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file = CreateFileW(Utf16(path).c_str(), GENERIC_READ | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | no_link, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        return Refused(why, SystemWhy("cannot read " + name));
    }
    BY_HANDLE_FILE_INFORMATION information{};
    bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information);
    if (!ok) Refused(why, name + " is not a regular file");
    if (ok && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ok = Refused(why, name + " is a directory, not a regular file");
    }
    if (ok && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !rules.follow_links) {
        ok = Refused(why, name + " is a symbolic link, not a regular file");
    }
    if (ok && rules.own_only && !OwnedByUs(file)) ok = Refused(why, name + " is another user's file");
    const unsigned long long size =
        (static_cast<unsigned long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (ok && size > rules.limit) ok = Refused(why, too_large);
    if (ok) {
        // One byte past the limit, to tell a file that grew meanwhile.
        bytes->clear();
        bytes->reserve(static_cast<std::size_t>(size) + 1);
        char chunk[16384];
        while (ok && bytes->size() <= rules.limit) {
            const DWORD room = static_cast<DWORD>(std::min(sizeof chunk, rules.limit + 1 - bytes->size()));
            DWORD got = 0;
            if (!ReadFile(file, chunk, room, &got, nullptr)) ok = Refused(why, SystemWhy("cannot read " + name));
            if (!ok || got == 0) break;
            bytes->append(chunk, got);
        }
        if (ok && bytes->size() > rules.limit) ok = Refused(why, too_large);
        if (!ok) bytes->clear();
    }
    CloseHandle(file);
    return ok;
}
