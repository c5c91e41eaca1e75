// The history kept in a file between runs (README: "The history file"): read
// back at start, after checks, and written by a thread of its own, so that a
// slow disk never holds up a read; each time whole, as a new file renamed
// over the old one. The file's format is in HistoryFormat.cpp; what touches
// the file system is in HistoryFile_linux.cpp / HistoryFile_win32.cpp.
#ifndef VANTORIX_SERVE_HISTORYFILE_H
#define VANTORIX_SERVE_HISTORYFILE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CHistory;

// The checksum that ends a file (FNV-1a, 64 bits), and the largest file:
// full rings of 256 cores.
std::uint64_t HistoryChecksum(const char* data, std::size_t size);
std::size_t HistoryFileLimit();

// Where the history is kept unless --history-file says otherwise:
// $STATE_DIRECTORY/history (systemd), else
// $XDG_STATE_HOME/getvantorixinfo/history, else
// ~/.local/state/getvantorixinfo/history; "" where there is no such place.
std::string DefaultHistoryPath();

// The bytes of the file at `path` when it is safe to read: a regular file of
// this user's, reached without following a symbolic link, of at most
// HistoryFileLimit() bytes. False otherwise, with why in `why` ("" when
// there is no file).
bool ReadHistoryFile(const std::string& path, std::string* bytes, std::string* why);

// Replaces the file at `path` with `bytes` as a whole, or leaves it as it
// was: a temporary file beside it, flushed to disk, renamed over it. Makes
// its directory (mode 0700) when missing.
bool WriteHistoryFile(const std::string& path, const std::string& bytes, std::string* why);

// Takes the history back from `path` ("": none) and saves it there when
// asked. Problems are warnings on stderr: the server runs on without a file.
class CHistoryFile {
public:
    CHistoryFile(const std::string& path, CHistory* history, std::int64_t now_ms);
    ~CHistoryFile();  // writes what is still waiting, then stops
    CHistoryFile(const CHistoryFile&) = delete;
    CHistoryFile& operator=(const CHistoryFile&) = delete;

    // Saves `bytes` (CHistory::Saved) soon; a newer save replaces one still
    // waiting.
    void Save(std::string bytes);

private:
    void Run();

    const std::string path_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool waiting_ = false;
    std::string bytes_;
    bool warned_ = false;  // one warning per run about failed writes
    std::thread thread_;
};

#endif  // VANTORIX_SERVE_HISTORYFILE_H
