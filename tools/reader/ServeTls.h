// TLS for --serve, where the build has it (Linux, with OpenSSL): chosen by
// CMake between ServeTls.cpp and ServeTlsUnavailable.cpp.
#ifndef VANTORIX_READER_SERVETLS_H
#define VANTORIX_READER_SERVETLS_H

#include <boost/asio/ip/tcp.hpp>

#include "HttpSession.h"  // and through it Serve.h, which declares ssl::context

// False where the build has no TLS.
bool TlsAvailable();

// A session that begins with a TLS handshake, under the head's deadline.
void StartTlsSession(ServerState& state, boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);

#endif  // VANTORIX_READER_SERVETLS_H
