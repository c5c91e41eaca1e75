// What --serve needs from the operating system, one file per platform
// (system_linux.cpp, system_win32.cpp).
#ifndef VANTORIX_SERVE_HTTP_SYSTEM_H
#define VANTORIX_SERVE_HTTP_SYSTEM_H

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

// How many connections may be open at once, within what the process may
// open (raising its own limit where it can), less what it holds open
// already and what it keeps for its own work: reading the monitor, saving
// the history, listening.
std::size_t ConnectionCap();

// True for the error of a read that failed for want of descriptors.
bool OutOfDescriptors(std::uint32_t error);

// The signals that stop the server, which then saves its history and exits
// 0: SIGINT, SIGTERM and, where the system has it, SIGHUP (its terminal
// closed).
std::vector<int> StopSignals();

// From now on the calling thread does not take the stop signals: one that
// comes waits for another thread, or, in none, until the process ends.
void HoldStopSignals();

// Sets the listening socket's options before it is bound: the port back at
// once after a restart, never shared with a second server.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor);

// True when an accept failed for that connection alone, which the system
// has taken off its queue all the same (its client reset it while it
// waited): the next one is taken at once.
bool ClientLeft(const boost::system::error_code& error);

#endif  // VANTORIX_SERVE_HTTP_SYSTEM_H
