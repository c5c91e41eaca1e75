// Reading the files of the live source, which may be a tree someone else made
// (--root): a file there can be a FIFO, a device or endless, so nothing is
// read that could block or grow without bound.
#ifndef VANTORIX_PUBLISHER_SOURCEFILE_H
#define VANTORIX_PUBLISHER_SOURCEFILE_H

#include <cstddef>
#include <string>

#include "BoundedFile.h"

// The most read from a /proc file (cpuinfo of a machine with a thousand CPUs
// fits) and from a sysfs attribute (the kernel's own limit is one page).
const std::size_t PROC_FILE_LIMIT = 4u << 20;
const std::size_t SYSFS_FILE_LIMIT = 4096;

// The contents of the regular file `path` (symbolic links followed), opened
// so that it never blocks; empty when it is missing, is not a regular file,
// or holds more than `limit` bytes: the reading is then missing.
inline std::string ReadSourceFile(const std::string& path, std::size_t limit) {
    FileRules rules;
    rules.limit = limit;
    std::string text, why;
    return ReadBoundedFile(path, path, rules, &text, &why) ? text : std::string();
}

#endif  // VANTORIX_PUBLISHER_SOURCEFILE_H
