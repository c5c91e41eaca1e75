#include "Textfile.h"

#include <cstdio>

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
