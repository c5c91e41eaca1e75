#include <winsock2.h>

#include <csignal>

#include "System.h"

// Windows' sockets are not counted against a small table: the cap alone.
std::size_t ConnectionCap() {
    return 1024;
}

bool OutOfDescriptors(std::uint32_t error) {
    return error == ERROR_TOO_MANY_OPEN_FILES;
}

// No SIGHUP: closing the console is a control event of its own.
std::vector<int> StopSignals() {
    return {SIGINT, SIGTERM};
}

// Windows runs a console's control handler on a thread of its own, and has
// no signal masks: the threads need nothing held.
void HoldStopSignals() {}

// Not SO_REUSEADDR, which on Windows lets another program take the port:
// SO_EXCLUSIVEADDRUSE keeps it ours.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor) {
    acceptor.set_option(boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true));
}

// A connection its client reset while it was queued: Windows says
// WSAECONNRESET; Wine takes it off the queue all the same but fails its
// accept with ERROR_UNEXP_NET_ERR (or WSAENOTCONN).
bool ClientLeft(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
    case WSAECONNABORTED: case WSAECONNRESET: case WSAENOTCONN: case ERROR_UNEXP_NET_ERR:
        return true;
    default:
        return false;
    }
}
