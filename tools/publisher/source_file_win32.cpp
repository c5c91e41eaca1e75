#include "SourceFile.h"

#include <fstream>

// Windows has no /proc or sysfs: only the tests' captured trees are read.
std::string ReadSourceFile(const std::string& path, std::size_t limit) {
    std::ifstream file(path, std::ios::binary);
    std::string text(limit + 1, '\0');
    file.read(&text[0], static_cast<std::streamsize>(text.size()));
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    if (got > limit) return std::string();
    text.resize(got);
    return text;
}
