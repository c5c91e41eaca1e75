// How many descriptors --serve may spend on connections, and when a failure
// was for want of one: descriptors_linux.cpp, descriptors_win32.cpp.
#ifndef VANTORIX_SERVE_HTTP_DESCRIPTORS_H
#define VANTORIX_SERVE_HTTP_DESCRIPTORS_H

#include <cstddef>
#include <cstdint>

// How many connections may be open at once, within what the process may
// open (raising its own limit where it can), less what it holds open
// already and what it keeps for its own work: reading the monitor, saving
// the history, listening.
std::size_t ConnectionCap();

// True for the error of a read that failed for want of descriptors.
bool OutOfDescriptors(std::uint32_t error);

#endif  // VANTORIX_SERVE_HTTP_DESCRIPTORS_H
