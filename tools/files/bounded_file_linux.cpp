#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "BoundedFile.h"

namespace {

// What a path is, when it is not a regular file.
std::string Kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

bool Refused(std::string* why, const std::string& text) {
    *why = text;
    return false;
}

}  // namespace

bool ReadBoundedFile(const std::string& path, const std::string& name, const FileRules& rules, std::string* bytes,
                     std::string* why) {
    why->clear();
    const std::string cannot = "cannot read " + name + ": ";
    const std::string too_large =
        name + " is larger than " + std::to_string(rules.limit / 1024) + " KiB, more than such a file needs";
    struct stat status {};
    // Asked before opening: opening a device may do something.
    if ((rules.follow_links ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) != 0) {
        return errno == ENOENT ? false : Refused(why, cannot + std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) return Refused(why, name + " is " + Kind(status.st_mode) + ", not a regular file");
    // Non-blocking (and not through a link, where none is taken), in case it
    // is swapped for something else meanwhile: checked again.
    const int no_link = rules.follow_links ? 0 : O_NOFOLLOW;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | no_link);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        const bool link = errno == ELOOP;
        return Refused(why, link ? name + " is a symbolic link, not a regular file" : cannot + std::strerror(errno));
    }
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (!ok) Refused(why, name + " is " + Kind(status.st_mode) + ", not a regular file");
    if (ok && rules.own_only && status.st_uid != geteuid()) ok = Refused(why, name + " is another user's file");
    if (ok && static_cast<unsigned long long>(status.st_size) > rules.limit) ok = Refused(why, too_large);
    if (ok) {
        // procfs and sysfs give sizes of 0 or a page: read to the end, one
        // byte past the limit to tell a file that is too long (or grew).
        bytes->clear();
        bytes->reserve(static_cast<std::size_t>(status.st_size) + 1);
        char chunk[16384];
        while (ok && bytes->size() <= rules.limit) {
            const std::size_t room = std::min(sizeof chunk, rules.limit + 1 - bytes->size());
            const ssize_t got = read(fd, chunk, room);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) ok = Refused(why, cannot + std::strerror(errno));
            if (got <= 0) break;
            bytes->append(chunk, static_cast<std::size_t>(got));
        }
        if (ok && bytes->size() > rules.limit) ok = Refused(why, too_large);
        if (!ok) bytes->clear();
    }
    close(fd);
    return ok;
}
