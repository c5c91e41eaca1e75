// The listening socket's ways on each system: listen_socket_linux.cpp,
// listen_socket_win32.cpp.
#ifndef VANTORIX_SERVE_HTTP_LISTENSOCKET_H
#define VANTORIX_SERVE_HTTP_LISTENSOCKET_H

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

// Sets the listening socket's options before it is bound: the port back at
// once after a restart, never shared with a second server.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor);

// True when an accept failed for that connection alone, which the system
// has taken off its queue all the same (its client reset it while it
// waited): the next one is taken at once.
bool ClientLeft(const boost::system::error_code& error);

#endif  // VANTORIX_SERVE_HTTP_LISTENSOCKET_H
