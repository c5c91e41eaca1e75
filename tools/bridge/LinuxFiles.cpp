#include "LinuxFiles.h"

#include <windows.h>

namespace {

typedef WCHAR*(CDECL* DosFileNameFunction)(const char*);

DosFileNameFunction WineDosFileName() {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == NULL) return nullptr;
    // A Wine export: absent on Windows itself.
    const FARPROC proc = GetProcAddress(kernel, "wine_get_dos_file_name");
    return reinterpret_cast<DosFileNameFunction>(reinterpret_cast<void*>(proc));
}

}  // namespace

std::wstring DosPath(const std::string& unix_path) {
    static const DosFileNameFunction convert = WineDosFileName();
    if (convert == nullptr) return std::wstring();
    WCHAR* dos = convert(unix_path.c_str());
    if (dos == nullptr) return std::wstring();
    const std::wstring result(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

CLinuxFile::CLinuxFile() : handle_(nullptr), error_(0) {}

CLinuxFile::CLinuxFile(const std::wstring& path) : handle_(nullptr), error_(0) {
    Reopen(path);
}

CLinuxFile::~CLinuxFile() {
    Close();
}

bool CLinuxFile::Reopen(const std::wstring& path) {
    Close();
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = GetLastError();
        return false;
    }
    error_ = 0;
    handle_ = file;
    return true;
}

void CLinuxFile::Close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

long CLinuxFile::ReadAt(unsigned long long offset, void* buffer, std::size_t size) {
    OVERLAPPED at = {};  // on a synchronous handle: the offset of this read only
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(size), &read, &at)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<long>(read);
}

bool CLinuxFile::ReadAll(std::string* text) {
    text->clear();
    char chunk[4096];
    long read = 0;
    while ((read = ReadAt(text->size(), chunk, sizeof(chunk))) > 0) {
        text->append(chunk, static_cast<std::size_t>(read));
    }
    return read == 0;
}

bool CLinuxFile::Inode(unsigned long long* inode) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_, &info)) return false;
    *inode = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool CLinuxFile::Linked() {
    // Wine answers from the file's own status (its link count), without its server.
    FILE_STANDARD_INFO info;
    return GetFileInformationByHandleEx(handle_, FileStandardInfo, &info, sizeof(info)) && info.NumberOfLinks > 0 &&
           !info.DeletePending;
}

bool ReadText(const std::string& unix_path, std::string* text) {
    CLinuxFile file(DosPath(unix_path));
    return file.IsOpen() && file.ReadAll(text);
}
