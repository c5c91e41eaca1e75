// --serve where the build has no TLS: Debian has no OpenSSL for the Windows
// builds, so they serve plain HTTP only and are never given a context.
#include "Tls.h"

void StartTlsSession(ServerState&, boost::asio::ip::tcp::socket, boost::asio::ssl::context&) {}
