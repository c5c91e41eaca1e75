#include "Listener.h"

#include "ListenSocket.h"
#include "Tls.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// What a connection may keep queued in the system for a client that does
// not read: a few round trips' worth, whatever the system would grow it to.
const int SEND_BUFFER = 64 * 1024;

}  // namespace

CListener::CListener(tcp::acceptor& acceptor, ServerState& state, asio::ssl::context* tls)
    : acceptor_(acceptor), state_(state), tls_(tls), pause_(acceptor.get_executor()) {}

void CListener::Accept() {
    acceptor_.async_accept(peer_, [this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (!error) Start(std::move(socket), peer_);
        for (int batch = 1; (!error || ClientLeft(error)) && batch < 64; ++batch) {
            tcp::socket next(acceptor_.get_executor());
            acceptor_.accept(next, peer_, error);
            if (!error) Start(std::move(next), peer_);
        }
        if (!error || ClientLeft(error) || error == asio::error::would_block || error == asio::error::try_again) {
            return Accept();
        }
        // Out of descriptors: one freed, else a pause.
        if (state_.connections.DropOne()) return Accept();
        pause_.expires_after(std::chrono::milliseconds(100));
        pause_.async_wait([this](beast::error_code) { Accept(); });
    });
}

void CListener::Start(tcp::socket socket, const tcp::endpoint& peer) {
    state_.connections.MakeRoom(ClientOf(peer.address()));
    beast::error_code ignored;
    socket.set_option(asio::socket_base::send_buffer_size(SEND_BUFFER), ignored);
    if (tls_) {
        StartTlsSession(state_, std::move(socket), *tls_);
    } else {
        StartSession(state_, beast::tcp_stream(std::move(socket)));
    }
}
