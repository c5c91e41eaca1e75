// The record a Linux publisher of one user publishes in
// /dev/shm/VantorixMappingObject.<uid>, copied whole and untorn from a
// Windows program under Wine, which cannot take the publisher's flock.
// The region, its mutex file and /proc/locks stay open from copy to copy:
// a copy whose bytes did not change reads the region and nothing else.
#ifndef VANTORIX_BRIDGE_LINUXREGION_H
#define VANTORIX_BRIDGE_LINUXREGION_H

#include <string>

#include "GetVantorixInfo.h"
#include "LinuxFiles.h"
#include "LockTable.h"

enum class Take {
    Record,     // a settled copy of a record other than the last one
    Same,       // the last record, still published by a live publisher of this user
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

    // Looks at the region again; on Record and Same, Last() is the record.
    Take Copy();
    const vantorix_shared_data& Last() const { return last_; }

    // For how long every look at /proc/locks has found the Linux mutex held
    // by someone, in milliseconds; 0 when the last look found it free.
    unsigned long long HeldFor() const;

    // The region's Unix path, for messages.
    const std::string& Path() const { return region_path_; }
    bool UsesLocks() const { return use_locks_; }

private:
    // (Re)opens the region when it is not open or no longer under its name.
    bool OpenRegion();
    // Reads /proc/locks, and from it whether the region is live and the
    // publisher this user's, and whether the mutex is held (`*writing`).
    Take LookAtLocks(bool* writing);
    Take Publisher(std::string* locks);

    unsigned uid_;
    std::string region_path_;
    std::wstring region_name_;
    std::wstring mutex_name_;
    bool use_locks_;
    FileKey device_;  // /dev/shm's filesystem
    CLinuxFile region_, mutex_, locks_;
    FileKey region_key_, mutex_key_;
    vantorix_shared_data last_;
    bool has_last_;
    Take verdict_;                  // the last look at the locks' answer for this region
    unsigned long holder_;          // the process whose lifetime lock gave that answer
    unsigned long long looked_at_;  // when (GetTickCount64), 0 for never
    unsigned long long held_since_;
};

// Whether this process can trust /proc/locks for the publisher's flocks, and
// the effective uid of the prefix's processes; false when /proc/self/status
// cannot be read.
bool ReadOwnStatus(unsigned* uid, bool* nested_pid_namespace);

#endif  // VANTORIX_BRIDGE_LINUXREGION_H
