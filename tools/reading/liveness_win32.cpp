// Windows: a mapping lasts as long as a handle to it, so a dead monitor's
// region goes with it and "stopped" is never seen; a monitor that froze is
// "not responding" or unchanged. Nothing more can be known from outside.
#include "Liveness.h"

const char START_MONITOR[] = "start the Vantorix monitor";

Liveness ProbeMonitor() {
    return Liveness::Unknown;
}

// Named objects are per logon session; another session's are not ours to find.
std::string OtherUsersMonitor() {
    return "";
}
