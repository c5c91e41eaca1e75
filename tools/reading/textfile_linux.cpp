// The page is written as a shell's `>` would (mode 0666 less the umask, so
// that the collector's user can read it) into a file beside it, then renamed
// over it: a reader opens the old page or the new one, never a part. It is
// not flushed to disk: the next read rewrites it, and a collector reads it
// from the page cache.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Textfile.h"

namespace {

std::string Why(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool ReplaceTextfile(const std::string& path, const std::string& text, std::string* why) {
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    // A new file, never one found there: a FIFO would block the reads, a
    // link would have another file written. What an earlier process of
    // this number left is removed; what cannot be is a failed write.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = open(temporary.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) fd = open(temporary.c_str(), flags, 0666);
    if (fd < 0) {
        *why = Why("cannot make a file beside it");
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == text.size();
    if (!ok) *why = Why("cannot write it");
    if (close(fd) != 0 && ok) {
        ok = false;
        *why = Why("cannot write it");
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        *why = Why("cannot rename it into place");
    }
    if (!ok) unlink(temporary.c_str());
    return ok;
}

bool PrepareTextfile(const std::string& path, std::string* why) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    struct stat information;
    if (stat(folder.c_str(), &information) != 0) {
        *why = errno == ENOENT ? "its folder " + folder + " does not exist" : Why("cannot use its folder");
        return false;
    }
    if (!S_ISDIR(information.st_mode)) {
        *why = "its folder " + folder + " is not a folder";
        return false;
    }
    if (base.empty()) {
        *why = "it names a folder, not a file";
        return false;
    }
    // A temporary file is there only while its process writes: one whose
    // process no longer exists was left by a kill in the middle of a write.
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return true;  // the first write says what is wrong, if anything is
    unsigned long pid = 0;
    for (const dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        if (IsTemporaryOf(entry->d_name, base, &pid) && pid != static_cast<unsigned long>(getpid()) &&
            pid <= 0x7fffffff && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            unlinkat(dirfd(listing), entry->d_name, 0);
        }
    }
    closedir(listing);
    return true;
}
