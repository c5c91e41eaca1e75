// TLS for --serve, where the build has it (Linux, with OpenSSL): chosen by
// CMake between ServeTls.cpp and ServeTlsUnavailable.cpp.
#ifndef VANTORIX_SERVE_SERVETLS_H
#define VANTORIX_SERVE_SERVETLS_H

#include <boost/asio/ip/tcp.hpp>

#include "HttpSession.h"

// False where the build has no TLS.
bool TlsAvailable();

// A session that begins with a TLS handshake, under the head's deadline.
void StartTlsSession(ServerState& state, boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);

#endif  // VANTORIX_SERVE_SERVETLS_H
