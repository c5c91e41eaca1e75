#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// The folder of `path`, and its file's name.
std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
std::string Name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// A temporary of a save to `name`: "NAME.XXXXXX", as mkostemp makes it.
bool TemporaryOf(const std::string& name, const char* entry) {
    const std::size_t length = std::strlen(entry);
    if (length != name.size() + 7 || name.compare(0, name.size(), entry, name.size()) != 0 ||
        entry[name.size()] != '.') {
        return false;
    }
    for (std::size_t at = name.size() + 1; at < length; ++at) {
        if (!std::isalnum(static_cast<unsigned char>(entry[at]))) return false;
    }
    return true;
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

bool WriteHistoryFile(const std::string& path, const std::string& bytes, std::string* why) {
    const std::string dir = Folder(path);
    MakeDirectories(dir);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        *why = Why("cannot make a file beside it");
        return false;
    }
    flock(fd, LOCK_EX);  // held while it is written: a second server's start leaves it alone
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == bytes.size() && fsync(fd) == 0;
    if (!ok) *why = Why("cannot write it");
    if (close(fd) != 0 && ok) {
        ok = false;
        *why = Why("cannot write it");
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        *why = Why("cannot rename it into place");
    }
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

void RemoveTemporaries(const std::string& path) {
    const std::string name = Name(path);
    DIR* dir = opendir(Folder(path).c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        if (!TemporaryOf(name, entry->d_name)) continue;
        // O_NONBLOCK: a FIFO of that name does not hang the open.
        const int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0) {
            unlinkat(dirfd(dir), entry->d_name, 0);  // a name, never followed
        }
        close(fd);
    }
    closedir(dir);
}
