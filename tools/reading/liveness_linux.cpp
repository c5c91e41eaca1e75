// Linux: a monitor holds an exclusive flock on its region file for its whole
// life (the protocol in docs/reliability.md), and the kernel drops it when
// the monitor dies. A shared lock that we can take at once therefore means
// that nobody holds the region: the record in it is a dead monitor's. The
// lock is let go at once, so a monitor starting meanwhile only retries.
#include "Liveness.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "ObjectNames.h"

const char START_MONITOR[] = "start vantorix-publisher (systemctl --user start vantorix-publisher)";

Liveness ProbeMonitor() {
    const std::string path = "/dev/shm/" VANTORIX_MAPPING_NAME "." + std::to_string(geteuid());
    // Opened and accepted as the library does: a file that breaks its rules
    // is not the one it reads.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Liveness::Unknown;
    struct stat info;
    Liveness liveness = Liveness::Unknown;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && info.st_nlink == 1) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            liveness = Liveness::Stopped;
        } else if (errno == EWOULDBLOCK) {
            liveness = Liveness::Alive;
        }
    }
    close(fd);  // and with it the lock
    return liveness;
}

namespace {

// The files some process holds a lock on, as /proc/locks lists them
// ("1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF": major and minor in
// hex, then the inode): nothing needs opening, so another user's files count.
std::set<std::string> LockedFiles() {
    std::set<std::string> locked;
    std::ifstream locks("/proc/locks");
    std::string word;
    while (locks >> word) {
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        char rest = 0;
        if (std::sscanf(word.c_str(), "%x:%x:%llu%c", &major, &minor, &inode, &rest) == 3) {
            locked.insert(std::to_string(major) + ":" + std::to_string(minor) + ":" + std::to_string(inode));
        }
    }
    return locked;
}

}  // namespace

std::string OtherUsersMonitor() {
    const char prefix[] = VANTORIX_MAPPING_NAME ".";
    DIR* shm = opendir("/dev/shm");
    if (shm == nullptr) return "";
    std::set<std::string> locked;
    bool listed = false;
    std::string hint;
    while (const dirent* entry = readdir(shm)) {
        if (std::strncmp(entry->d_name, prefix, sizeof(prefix) - 1) != 0) continue;
        const char* digits = entry->d_name + sizeof(prefix) - 1;
        char* end = nullptr;
        const unsigned long uid = std::strtoul(digits, &end, 10);
        if (*digits == '\0' || *end != '\0' || uid == geteuid()) continue;
        // A live monitor's region, by the rules a reader of that user applies:
        // a regular file of theirs, locked for the monitor's whole life.
        struct stat info;
        if (fstatat(dirfd(shm), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != uid) {
            continue;
        }
        if (!listed) {
            locked = LockedFiles();
            listed = true;
        }
        if (locked.count(std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev)) + ":" +
                         std::to_string(info.st_ino)) == 0) {
            continue;
        }
        const passwd* user = getpwuid(static_cast<uid_t>(uid));
        const std::string name = user != nullptr ? user->pw_name : "'#" + std::to_string(uid) + "'";
        // root has runuser (util-linux) whether or not sudo is installed;
        // sudo also takes a uid without a name.
        hint = "; a monitor runs for the user " + name + ", whose readings only that user reads: " +
               (geteuid() == 0 && user != nullptr ? "runuser -u " + name + " -- vantorix-info"
                                                  : "sudo -u " + name + " vantorix-info");
        break;
    }
    closedir(shm);
    return hint;
}
