// What Linux's /proc says about files and their flocks, read as text: a
// Windows program under Wine cannot call flock, but it can read /proc.
#ifndef VANTORIX_BRIDGE_LOCKTABLE_H
#define VANTORIX_BRIDGE_LOCKTABLE_H

#include <string>

struct FileKey {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long inode = 0;
};

// The device (major, minor) of the filesystem that holds `path`: the last
// mount in /proc/self/mountinfo's text whose mount point is the longest that
// contains `path`. False when none does.
bool MountDevice(const std::string& mountinfo, const std::string& path, FileKey* key);

// True when /proc/locks' text lists an flock, held or waited for, on the
// file; `holder`, if given, gets the pid of the process holding it (0 when
// only waiters are listed).
bool FlockListed(const std::string& locks, const FileKey& file, unsigned long* holder = nullptr);

// The effective uid from /proc/self/status' text; false when it has none.
bool EffectiveUid(const std::string& status, unsigned* uid);

// True when /proc/self/status' text shows the process in a PID namespace
// below the one its /proc belongs to, where Linux hides the locks of
// processes outside it from /proc/locks.
bool NestedPidNamespace(const std::string& status);

#endif  // VANTORIX_BRIDGE_LOCKTABLE_H
