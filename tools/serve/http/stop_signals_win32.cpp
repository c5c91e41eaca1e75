#include <csignal>

#include "StopSignals.h"

// No SIGHUP: closing the console is a control event of its own.
std::vector<int> StopSignals() {
    return {SIGINT, SIGTERM};
}

// Windows runs a console's control handler on a thread of its own, and has
// no signal masks: the threads need nothing held.
void HoldStopSignals() {}
