#include <winsock2.h>

#include "ListenSocket.h"

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
