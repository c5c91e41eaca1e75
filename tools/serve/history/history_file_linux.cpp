#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "BoundedFile.h"
#include "HistoryFile.h"

namespace {

std::string Why(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The directory, and those above it, as `mkdir -p` makes them.
void MakeDirectories(const std::string& dir) {
    for (std::size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1)) {
        mkdir(dir.substr(0, at).c_str(), 0700);
    }
    mkdir(dir.c_str(), 0700);
}

}  // namespace

std::string DefaultHistoryPath() {
    const char* systemd = std::getenv("STATE_DIRECTORY");
    if (systemd && systemd[0] == '/') {
        const std::string dirs = systemd;
        return dirs.substr(0, dirs.find(':')) + "/history";
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/getvantorixinfo/history";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/state/getvantorixinfo/history";
    return "";
}

bool ReadHistoryFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why) {
    FileRules rules;
    rules.limit = limit;
    rules.follow_links = false;
    rules.own_only = true;
    return ReadBoundedFile(path, "it", rules, bytes, why);
}

bool WriteHistoryFile(const std::string& path, const std::string& bytes, std::string* why) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    MakeDirectories(dir);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        *why = Why("cannot make a file beside it");
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == bytes.size() && fsync(fd) == 0;
    if (!ok) *why = Why("cannot write it");
    if (close(fd) != 0 && ok) ok = false, *why = Why("cannot write it");
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false, *why = Why("cannot rename it into place");
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself on disk.
    const int directory = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}
