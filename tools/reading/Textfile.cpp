#include "Textfile.h"

#include <cstdio>
#include <cstdlib>

bool CTextfile::Write(const std::string& page) {
    std::string why;
    const bool written = ReplaceTextfile(path_, page, &why);
    if (!written && !failing_) {
        std::fprintf(stderr, "vantorix-info: cannot write the metrics to %s: %s; trying again at each read\n",
                     path_.c_str(), why.c_str());
    } else if (written && failing_) {
        std::fprintf(stderr, "vantorix-info: writing the metrics to %s again\n", path_.c_str());
    }
    std::fflush(stderr);
    failing_ = !written;
    return written;
}

bool IsTemporaryOf(const std::string& name, const std::string& base, unsigned long* pid) {
    const std::string suffix = ".tmp";
    if (name.size() <= base.size() + 1 + suffix.size() || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.' || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string digits = name.substr(base.size() + 1, name.size() - base.size() - 1 - suffix.size());
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    *pid = std::strtoul(digits.c_str(), nullptr, 10);
    return true;
}
