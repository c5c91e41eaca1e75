#include "LinuxRegion.h"

#include <chrono>
#include <cstring>

#include "ObjectNames.h"

namespace {

const char SHM[] = "/dev/shm";
// Pairs of reads tried before giving up on one copy: a publisher writes for a
// few microseconds per record, so only one writing flat out keeps every pair apart.
const int ATTEMPTS = 100;
// How often the locks are looked at while the record stays the same: only
// the lifetime lock going away tells that a killed publisher left its region
// behind, and only the mutex staying held that the publisher hangs.
const unsigned long long LOOK_MS = 500;

std::string ShmPath(const char* name, unsigned uid) {
    return std::string(SHM) + "/" + name + "." + std::to_string(uid);
}

unsigned long long Now() {
    return static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
}

// Opens (again) the file at `name` unless the one open is still under it.
bool KeepOpen(CLinuxFile* file, const std::wstring& name, const FileKey& device, FileKey* key) {
    if (file->IsOpen() && file->Linked()) return true;
    *key = device;
    if (file->Reopen(name) && file->Inode(&key->inode)) return true;
    file->Close();
    return false;
}

}  // namespace

CLinuxRegion::CLinuxRegion(unsigned uid, bool use_locks)
    : uid_(uid),
      region_path_(ShmPath(VANTORIX_MAPPING_NAME, uid)),
      region_name_(DosPath(region_path_)),
      mutex_name_(DosPath(ShmPath(VANTORIX_MUTEX_NAME, uid))),
      use_locks_(use_locks),
      has_last_(false),
      verdict_(Take::Absent),
      holder_(0),
      looked_at_(0),
      held_since_(0) {
    std::memset(&last_, 0, sizeof(last_));
    std::string mountinfo, locks;
    use_locks_ = use_locks_ && ReadText("/proc/self/mountinfo", &mountinfo) && MountDevice(mountinfo, SHM, &device_) &&
                 locks_.Reopen(DosPath("/proc/locks")) && locks_.ReadAll(&locks);
}

unsigned long long CLinuxRegion::HeldFor() const {
    return held_since_ == 0 ? 0 : Now() - held_since_;
}

bool CLinuxRegion::OpenRegion() {
    if (region_.IsOpen() && region_.Linked()) return true;
    // Another region, or none: nothing is known of its publisher.
    looked_at_ = 0;
    holder_ = 0;
    held_since_ = 0;
    return KeepOpen(&region_, region_name_, device_, &region_key_);
}

// The publisher holds an flock on its region for its lifetime: nobody holds
// one on a leftover. Linux hands /proc/locks out a page at a time, and a line
// can slip out of a read while other locks come and go: a second read
// confirms. A region is forwarded only from a publisher running as this
// user, as the Linux readers take only this user's objects; its user is read
// once per process that holds the lock.
Take CLinuxRegion::Publisher(std::string* locks) {
    unsigned long holder = 0;
    if (!FlockListed(*locks, region_key_, &holder) && !(locks_.ReadAll(locks) && FlockListed(*locks, region_key_, &holder))) {
        holder_ = 0;
        return Take::Leftover;
    }
    if (holder != 0 && holder == holder_) return verdict_;
    std::string status;
    unsigned uid = 0;
    if (holder == 0 || !ReadText("/proc/" + std::to_string(holder) + "/status", &status) ||
        !EffectiveUid(status, &uid)) {
        holder_ = 0;
        return Take::Leftover;  // its publisher ended just now
    }
    holder_ = holder;
    return uid == uid_ ? Take::Record : Take::Foreign;
}

Take CLinuxRegion::LookAtLocks(bool* writing) {
    std::string locks;
    if (!locks_.ReadAll(&locks)) return Take::Unsettled;
    verdict_ = Publisher(&locks);
    *writing = KeepOpen(&mutex_, mutex_name_, device_, &mutex_key_) && FlockListed(locks, mutex_key_);
    looked_at_ = Now();
    if (verdict_ != Take::Record || !*writing) {
        held_since_ = 0;
    } else if (held_since_ == 0) {
        held_since_ = looked_at_;
    }
    return verdict_;
}

// A copy is taken when two reads agree with no write in progress between
// them: /proc/locks, read after the first, lists no flock on the mutex, so a
// write that was under way during the first read had ended before the
// second began; a torn first read would then differ from the second. Where
// the locks cannot be read, two reads that agree are the whole rule. Bytes
// equal to the last copy need no such care: they are that copy.
Take CLinuxRegion::Copy() {
    if (!OpenRegion()) return Take::Absent;
    vantorix_shared_data first, second;
    if (region_.ReadAt(0, &first, sizeof(first)) != static_cast<long>(sizeof(first))) return Take::Short;
    const bool changed = !has_last_ || std::memcmp(&first, &last_, sizeof(first)) != 0;
    if (!changed && (!use_locks_ || (held_since_ == 0 && looked_at_ != 0 && Now() - looked_at_ < LOOK_MS))) {
        return !use_locks_ || verdict_ == Take::Record ? Take::Same : verdict_;
    }
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        bool writing = false;
        if (use_locks_) {
            const Take publisher = LookAtLocks(&writing);
            if (publisher != Take::Record) return publisher;
            if (!changed) return Take::Same;
        }
        if (region_.ReadAt(0, &second, sizeof(second)) != static_cast<long>(sizeof(second))) return Take::Short;
        if (!writing && std::memcmp(&first, &second, sizeof(first)) == 0) {
            std::memcpy(&last_, &second, sizeof(second));
            has_last_ = true;
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
