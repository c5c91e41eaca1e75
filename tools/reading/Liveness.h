// Whether the monitor whose record was read still runs, and what to start
// when none does: the only things the tool must know per platform, each
// answered by a file the build picks (liveness_linux.cpp, liveness_win32.cpp).
#ifndef VANTORIX_READING_LIVENESS_H
#define VANTORIX_READING_LIVENESS_H

enum class Liveness {
    Unknown,  // the platform cannot tell (Windows), or the region changed under us
    Alive,    // a monitor holds the region
    Stopped,  // nobody holds it: what is there is a dead monitor's last record
};

// Asks without waiting and without touching the monitor's mutex.
Liveness ProbeMonitor();

// What to start when no monitor runs, for messages: "start ...".
extern const char START_MONITOR[];

#endif  // VANTORIX_READING_LIVENESS_H
