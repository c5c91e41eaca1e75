// The signals that stop the server, and holding them back from a thread:
// stop_signals_linux.cpp, stop_signals_win32.cpp.
#ifndef VANTORIX_SERVE_HTTP_STOPSIGNALS_H
#define VANTORIX_SERVE_HTTP_STOPSIGNALS_H

#include <vector>

// The signals that stop the server, which then saves its history and exits
// 0: SIGINT, SIGTERM and, where the system has it, SIGHUP (its terminal
// closed).
std::vector<int> StopSignals();

// From now on the calling thread does not take the stop signals: one that
// comes waits for another thread, or, in none, until the process ends.
void HoldStopSignals();

#endif  // VANTORIX_SERVE_HTTP_STOPSIGNALS_H
