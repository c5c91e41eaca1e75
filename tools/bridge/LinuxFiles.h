// Linux files as a Windows program under Wine reaches them: Wine names a
// Unix path with a DOS one (Z:\dev\shm\... in a default prefix) and opens
// and reads it for the program. Wine's server opens the files, so /proc/self
// is the prefix's wineserver, a process of the same user.
#ifndef VANTORIX_BRIDGE_LINUXFILES_H
#define VANTORIX_BRIDGE_LINUXFILES_H

#include <cstddef>
#include <string>

#include "LockTable.h"

// The DOS path of a Unix path, from Wine's kernel32; empty when the program
// does not run under Wine.
std::wstring DosPath(const std::string& unix_path);

// A Linux file opened for reading, shared with every writer and remover.
class CLinuxFile {
public:
    explicit CLinuxFile(const std::wstring& path);
    ~CLinuxFile();
    CLinuxFile(const CLinuxFile&) = delete;
    CLinuxFile& operator=(const CLinuxFile&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    // Why the open failed (GetLastError), 0 when it did not.
    unsigned long Error() const { return error_; }
    // Reads up to `size` bytes from the start; the count read, or -1.
    long ReadStart(void* buffer, std::size_t size);
    // Reads on from where the last read ended; 0 at the end, -1 on failure.
    long ReadNext(void* buffer, std::size_t size);
    // The file's inode (Wine reports it as the file index).
    bool Inode(unsigned long long* inode);

private:
    void* handle_;
    unsigned long error_;
};

// The whole text of a small file such as one in /proc, which reports no size.
bool ReadText(const std::string& unix_path, std::string* text);

#endif  // VANTORIX_BRIDGE_LINUXFILES_H
