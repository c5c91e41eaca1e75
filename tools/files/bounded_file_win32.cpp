// Windows: only the tests' captured trees are read (no /proc, no sysfs, no
// history file, no web config), so a file is taken as the C++ library opens it.
#include <fstream>

#include "BoundedFile.h"

bool ReadBoundedFile(const std::string& path, const std::string& name, const FileRules& rules, std::string* bytes,
                     std::string* why) {
    why->clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes->assign(rules.limit + 1, '\0');
    file.read(&(*bytes)[0], static_cast<std::streamsize>(bytes->size()));
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    if (got > rules.limit) {
        bytes->clear();
        *why = name + " is larger than " + std::to_string(rules.limit / 1024) + " KiB, more than such a file needs";
        return false;
    }
    bytes->resize(got);
    return true;
}
