// The record a Linux publisher of one user publishes in
// /dev/shm/VantorixMappingObject.<uid>, copied whole and untorn from a
// Windows program under Wine, which cannot take the publisher's flock.
#ifndef VANTORIX_BRIDGE_LINUXREGION_H
#define VANTORIX_BRIDGE_LINUXREGION_H

#include <string>

#include "GetVantorixInfo.h"
#include "LockTable.h"

enum class Take {
    Record,     // a settled copy of the record
    Absent,     // no region: no publisher
    Leftover,   // a region whose publisher is gone (nobody holds its lifetime lock)
    Foreign,    // a region whose lifetime lock another user's process holds
    Short,      // a region shorter than a record
    Unsettled,  // the record kept changing under every pair of reads: none this time
};

class CLinuxRegion {
public:
    // `use_locks`: /proc/locks is trusted to list the publisher's flocks.
    CLinuxRegion(unsigned uid, bool use_locks);

    Take Copy(vantorix_shared_data* record);

    // The region's Unix path, for messages.
    const std::string& Path() const { return region_path_; }
    bool UsesLocks() const { return use_locks_; }

private:
    // Whether /proc/locks lists an flock on the file open as `file`, and who holds it.
    bool Locked(const std::string& locks, class CLinuxFile& file, unsigned long* holder = nullptr);
    // Whether the region is live (and the publisher's is this user's), from /proc/locks.
    Take Publisher(std::string* locks, class CLinuxFile& region);

    unsigned uid_;
    std::string region_path_;
    std::wstring region_;
    std::wstring mutex_;
    bool use_locks_;
    FileKey device_;  // /dev/shm's filesystem
};

// Whether this process can trust /proc/locks for the publisher's flocks, and
// the effective uid of the prefix's processes; false when /proc/self/status
// cannot be read.
bool ReadOwnStatus(unsigned* uid, bool* nested_pid_namespace);

#endif  // VANTORIX_BRIDGE_LINUXREGION_H
