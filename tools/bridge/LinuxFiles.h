// Linux files as a Windows program under Wine reaches them: Wine names a
// Unix path with a DOS one (Z:\dev\shm\... in a default prefix) and opens
// and reads it for the program. Wine's server opens the files, so /proc/self
// is the prefix's wineserver, a process of the same user. Opening costs a
// round trip to wineserver; reading an open file, by offset, does not.
#ifndef VANTORIX_BRIDGE_LINUXFILES_H
#define VANTORIX_BRIDGE_LINUXFILES_H

#include <cstddef>
#include <string>

// The DOS path of a Unix path, from Wine's kernel32; empty when the program
// does not run under Wine.
std::wstring DosPath(const std::string& unix_path);

// A Linux file opened for reading, shared with every writer and remover.
class CLinuxFile {
public:
    CLinuxFile();
    explicit CLinuxFile(const std::wstring& path);
    ~CLinuxFile();
    CLinuxFile(const CLinuxFile&) = delete;
    CLinuxFile& operator=(const CLinuxFile&) = delete;

    // Closes the file open here, if any, and opens the one at `path` now.
    bool Reopen(const std::wstring& path);
    void Close();
    bool IsOpen() const { return handle_ != nullptr; }
    // Why the last open failed (GetLastError), 0 when it did not.
    unsigned long Error() const { return error_; }
    // Reads up to `size` bytes at `offset`; the count read (0 at the end), or -1.
    long ReadAt(unsigned long long offset, void* buffer, std::size_t size);
    // The whole text, read again from the start: a file in /proc, which
    // reports no size, is made anew by each read from its start.
    bool ReadAll(std::string* text);
    // The file's inode (Wine reports it as the file index).
    bool Inode(unsigned long long* inode);
    // False once the file has been removed (or replaced) under its name.
    bool Linked();

private:
    void* handle_;
    unsigned long error_;
};

// The whole text of a small file such as one in /proc, opened for this read.
bool ReadText(const std::string& unix_path, std::string* text);

#endif  // VANTORIX_BRIDGE_LINUXFILES_H
