// --serve over TLS (OpenSSL through Boost.Asio): the session of plain HTTP,
// on a TLS stream, after a handshake.
#include "Tls.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <>
struct StreamStart<TlsStream> {
    template <class Handler>
    static void Handshake(TlsStream& stream, Handler&& handler) {
        stream.async_handshake(boost::asio::ssl::stream_base::server, std::forward<Handler>(handler));
    }
};

void StartTlsSession(ServerState& state, boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context) {
    StartSession(state, TlsStream(beast::tcp_stream(std::move(socket)), context));
}
