// Accepts connections for as long as the server runs, each one a session
// (HttpSession.h) over plain TCP or TLS.
#ifndef VANTORIX_SERVE_HTTP_LISTENER_H
#define VANTORIX_SERVE_HTTP_LISTENER_H

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "HttpSession.h"
#include "Tls.h"

// Each new client is answered: room is made for it from the connections
// that cost most (see CConnections). Out of descriptors, a connection is
// dropped to free one, or, with none open, accepting pauses for a moment.
class CListener {
public:
    // `tls`: null for plain HTTP. The acceptor listens already, non-blocking.
    CListener(boost::asio::ip::tcp::acceptor& acceptor, ServerState& state, boost::asio::ssl::context* tls);

    // Takes a connection, then every other one waiting (up to a batch, so
    // that the sessions get their turn): one wake-up for many connections,
    // which under Wine is most of what each costs.
    void Accept();

private:
    void Start(boost::asio::ip::tcp::socket socket, const boost::asio::ip::tcp::endpoint& peer);

    boost::asio::ip::tcp::acceptor& acceptor_;
    ServerState& state_;
    boost::asio::ssl::context* tls_;
    boost::asio::steady_timer pause_;
    boost::asio::ip::tcp::endpoint peer_;
};

#endif  // VANTORIX_SERVE_HTTP_LISTENER_H
