// The history kept in a file between runs (docs/serving.md: "The history file"), as
// bytes: read back at start, after checks, and written by a thread of its
// own, so that a slow disk never holds up a read; each time whole, as a new
// file renamed over the old one. What the bytes mean is HistoryFormat.h's;
// what touches the file system is in history_file_linux.cpp /
// history_file_win32.cpp.
#ifndef VANTORIX_SERVE_HISTORY_HISTORYFILE_H
#define VANTORIX_SERVE_HISTORY_HISTORYFILE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Where the history is kept unless --history-file says otherwise:
// $STATE_DIRECTORY/history (systemd), else
// $XDG_STATE_HOME/getvantorixinfo/history, else
// ~/.local/state/getvantorixinfo/history; "" where there is no such place.
std::string DefaultHistoryPath();

// The bytes of the file at `path` when it is safe to read: a regular file of
// this user's, reached without following a symbolic link, of at most
// `limit` bytes. False otherwise, with why in `why` ("" when there is no
// file).
bool ReadHistoryFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why);

// Replaces the file at `path` with `bytes` as a whole, or leaves it as it
// was: a temporary file beside it, flushed to disk, renamed over it. Makes
// its directory (mode 0700) when missing.
bool WriteHistoryFile(const std::string& path, const std::string& bytes, std::string* why);

// Removes the temporary files that saves to `path` left beside it (a server
// killed while it saved): those of that naming that are regular files of
// this user's, reached without following a symbolic link, and that no save
// in progress holds.
void RemoveTemporaries(const std::string& path);

// Saves the history's bytes at `path` ("": nowhere) when asked. Problems are
// a warning on stderr: the server runs on without a file.
class CHistoryFile {
public:
    // Takes earlier saves' temporaries away too.
    explicit CHistoryFile(const std::string& path);
    ~CHistoryFile() { Finish(); }
    // Writes what is still waiting, then stops; later saves are not made.
    void Finish();
    CHistoryFile(const CHistoryFile&) = delete;
    CHistoryFile& operator=(const CHistoryFile&) = delete;

    // Saves `bytes` (CHistory::FileBytes) soon; a newer save replaces one still
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

#endif  // VANTORIX_SERVE_HISTORY_HISTORYFILE_H
