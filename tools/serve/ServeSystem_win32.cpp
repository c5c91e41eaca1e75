#include <winsock2.h>

#include "ServeSystem.h"

// Windows' sockets are not counted against a small table: the cap alone.
std::size_t ConnectionCap() {
    return 1024;
}

// Not SO_REUSEADDR, which on Windows lets another program take the port:
// SO_EXCLUSIVEADDRUSE keeps it ours.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor) {
    acceptor.set_option(boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true));
}
