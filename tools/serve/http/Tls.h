// TLS for --serve, where the build has it (Linux, with OpenSSL):
// tls_linux.cpp, or tls_win32.cpp where it has none.
#ifndef VANTORIX_SERVE_HTTP_TLS_H
#define VANTORIX_SERVE_HTTP_TLS_H

#include <boost/asio/ip/tcp.hpp>

#include "HttpSession.h"

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

// A session that begins with a TLS handshake, under the head's deadline.
void StartTlsSession(ServerState& state, boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);

#endif  // VANTORIX_SERVE_HTTP_TLS_H
