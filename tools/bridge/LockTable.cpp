#include "LockTable.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// The words after "<field>:" on its line of /proc/self/status.
bool StatusField(const std::string& status, const std::string& field, std::istringstream* words) {
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            words->str(line.substr(field.size() + 1));
            return true;
        }
    }
    return false;
}

bool Contains(const std::string& mount_point, const std::string& path) {
    return mount_point == "/" || mount_point == path ||
           path.compare(0, mount_point.size() + 1, mount_point + "/") == 0;
}

}  // namespace

bool MountDevice(const std::string& mountinfo, const std::string& path, FileKey* key) {
    std::istringstream lines(mountinfo);
    std::string line;
    std::size_t best = 0;
    bool found = false;
    while (std::getline(lines, line)) {
        // "36 35 0:24 / /dev/shm rw,... - tmpfs tmpfs rw": id, parent, major:minor, root, mount point.
        std::istringstream words(line);
        std::string id, parent, device, root, mount_point;
        unsigned major = 0, minor = 0;
        if (!(words >> id >> parent >> device >> root >> mount_point) ||
            std::sscanf(device.c_str(), "%u:%u", &major, &minor) != 2 || !Contains(mount_point, path) ||
            mount_point.size() < best) {
            continue;
        }
        best = mount_point.size();
        key->major = major;
        key->minor = minor;
        found = true;
    }
    return found;
}

bool FlockListed(const std::string& locks, const FileKey& file, unsigned long* holder) {
    std::istringstream lines(locks);
    std::string line;
    bool listed = false;
    if (holder != nullptr) *holder = 0;
    while (std::getline(lines, line)) {
        // "1: FLOCK  ADVISORY  WRITE 2331 00:19:12 0 EOF", or "1: -> FLOCK ..." for a waiter;
        // the device in hexadecimal, the inode in decimal.
        std::istringstream words(line);
        std::string word, kind, access, pid, device;
        bool waiter = false;
        while (words >> word && word != "FLOCK") {
            waiter = waiter || word == "->";
        }
        if (word != "FLOCK" || !(words >> kind >> access >> pid >> device)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 && major == file.major &&
            minor == file.minor && inode == file.inode) {
            listed = true;
            if (holder != nullptr && !waiter) *holder = std::strtoul(pid.c_str(), nullptr, 10);
        }
    }
    return listed;
}

bool EffectiveUid(const std::string& status, unsigned* uid) {
    std::istringstream words;
    unsigned real = 0;
    return StatusField(status, "Uid", &words) && static_cast<bool>(words >> real >> *uid);
}

bool NestedPidNamespace(const std::string& status) {
    std::istringstream words;
    unsigned long pid = 0, inner = 0;
    return StatusField(status, "NSpid", &words) && static_cast<bool>(words >> pid >> inner);
}
