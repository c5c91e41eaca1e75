// Whether the monitor whose record was read still runs, and what to start
// when none does: the only things the tool must know per platform, each
// answered by a file the build picks (liveness_linux.cpp, liveness_win32.cpp).
#ifndef VANTORIX_READING_LIVENESS_H
#define VANTORIX_READING_LIVENESS_H

#include <string>

enum class Liveness {
    Unknown,  // the platform cannot tell (Windows), or the region changed under us
    Alive,    // a monitor holds the region
    Stopped,  // nobody holds it: what is there is a dead monitor's last record
};

// Asks without waiting and without touching the monitor's mutex.
Liveness ProbeMonitor();

// What to start when no monitor runs, for messages: "start ...".
extern const char START_MONITOR[];

// When no monitor of ours runs: how to read one that runs for another user
// (Linux: the system services' user, say), as "; ..." to append to the
// message, or "" when there is none. Its objects are that user's alone, so
// the hint is to read as that user, never to read them from here.
std::string OtherUsersMonitor();

#endif  // VANTORIX_READING_LIVENESS_H
