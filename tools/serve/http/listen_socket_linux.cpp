#include <cerrno>

#include "ListenSocket.h"

// SO_REUSEADDR: on Linux it only lets a restarted server past the old
// connections' TIME_WAIT, and a second server is still refused.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor) {
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
}

// accept(2): a connection aborted while queued, or one with a network error
// pending (TCP's list), fails that accept alone.
bool ClientLeft(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
    case ECONNABORTED: case ECONNRESET: case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}
