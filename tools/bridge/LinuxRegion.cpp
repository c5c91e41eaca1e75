#include "LinuxRegion.h"

#include <cstring>

#include "LinuxFiles.h"

namespace {

const char SHM[] = "/dev/shm";
// Pairs of reads tried before giving up on one copy: a publisher writes for a
// few microseconds per record, so only one writing flat out keeps every pair apart.
const int ATTEMPTS = 100;

std::string ShmPath(const char* name, unsigned uid) {
    return std::string(SHM) + "/" + name + "." + std::to_string(uid);
}

}  // namespace

CLinuxRegion::CLinuxRegion(unsigned uid, bool use_locks)
    : uid_(uid),
      region_path_(ShmPath("VantorixMappingObject", uid)),
      region_(DosPath(region_path_)),
      mutex_(DosPath(ShmPath("VantorixMutexObject", uid))),
      use_locks_(use_locks) {
    std::string mountinfo, locks;
    use_locks_ = use_locks_ && ReadText("/proc/self/mountinfo", &mountinfo) &&
                 MountDevice(mountinfo, SHM, &device_) && ReadText("/proc/locks", &locks);
}

bool CLinuxRegion::Locked(const std::string& locks, CLinuxFile& file, unsigned long* holder) {
    FileKey key = device_;
    return file.IsOpen() && file.Inode(&key.inode) && FlockListed(locks, key, holder);
}

// The publisher holds an flock on its region for its lifetime: nobody holds
// one on a leftover. Linux hands /proc/locks out a page at a time, and a line
// can slip out of a read while other locks come and go: a second read
// confirms. A region is forwarded only from a publisher running as this
// user, as the Linux readers take only this user's objects.
Take CLinuxRegion::Publisher(std::string* locks, CLinuxFile& region) {
    unsigned long holder = 0;
    if (!Locked(*locks, region, &holder) && !(ReadText("/proc/locks", locks) && Locked(*locks, region, &holder))) {
        return Take::Leftover;
    }
    std::string status;
    unsigned uid = 0;
    if (holder == 0 || !ReadText("/proc/" + std::to_string(holder) + "/status", &status) ||
        !EffectiveUid(status, &uid)) {
        return Take::Leftover;  // its publisher ended just now
    }
    return uid == uid_ ? Take::Record : Take::Foreign;
}

// A copy is taken when two reads agree with no write in progress between
// them: /proc/locks, read after the first, lists no flock on the mutex, so a
// write that was under way during the first read had ended before the
// second began; a torn first read would then differ from the second. Where
// the locks cannot be read, two reads that agree are the whole rule.
Take CLinuxRegion::Copy(vantorix_shared_data* record) {
    CLinuxFile region(region_);
    if (!region.IsOpen()) return Take::Absent;
    vantorix_shared_data first, second;
    if (region.ReadStart(&first, sizeof(first)) != static_cast<long>(sizeof(first))) return Take::Short;
    CLinuxFile mutex(use_locks_ ? mutex_ : std::wstring());  // opened once a copy, not once a pair
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        bool writing = false;
        if (use_locks_) {
            std::string locks;
            if (!ReadText("/proc/locks", &locks)) return Take::Unsettled;
            if (attempt == 0) {
                const Take publisher = Publisher(&locks, region);
                if (publisher != Take::Record) return publisher;
            }
            writing = Locked(locks, mutex);
        }
        if (region.ReadStart(&second, sizeof(second)) != static_cast<long>(sizeof(second))) return Take::Short;
        if (!writing && std::memcmp(&first, &second, sizeof(first)) == 0) {
            std::memcpy(record, &second, sizeof(second));
            return Take::Record;
        }
        std::memcpy(&first, &second, sizeof(second));
    }
    return Take::Unsettled;
}

bool ReadOwnStatus(unsigned* uid, bool* nested_pid_namespace) {
    std::string status;
    if (!ReadText("/proc/self/status", &status) || !EffectiveUid(status, uid)) return false;
    *nested_pid_namespace = NestedPidNamespace(status);
    return true;
}
