// Reading a file that someone else may have made or swapped: a FIFO, a
// device, a link or an endless file in its place must neither block nor
// cost more than the file should. One reader for the publisher's live
// source, the web config and the history file; each caller says what it
// allows. The file system's side: bounded_file_linux.cpp / _win32.cpp.
#ifndef VANTORIX_FILES_BOUNDEDFILE_H
#define VANTORIX_FILES_BOUNDEDFILE_H

#include <cstddef>
#include <string>

struct FileRules {
    std::size_t limit = 0;      // the most bytes it may hold
    bool follow_links = true;   // false: a symbolic link is refused
    bool own_only = false;      // true: another user's file is refused
};

// The contents of the regular file at `path`, opened without blocking and
// only once it is known to be one. False otherwise, with the reason in
// `why`, naming the file as `name` ("NAME is a FIFO, not a regular file");
// `why` is "" when there is no such file.
bool ReadBoundedFile(const std::string& path, const std::string& name, const FileRules& rules, std::string* bytes,
                     std::string* why);

#endif  // VANTORIX_FILES_BOUNDEDFILE_H
