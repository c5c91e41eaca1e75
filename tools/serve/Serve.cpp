// vantorix-info --serve: an event-driven HTTP server (Boost.Beast on
// Boost.Asio) over the latest reading. One thread runs every connection;
// every response is rendered from CLatestReading, so no request reads the
// monitor itself or waits for it.
#include "Serve.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdio>
#include <string>

#include "EventStream.h"
#include "HttpSession.h"
#include "LatestReading.h"
#include "Outputs.h"
#include "Routes.h"
#include "ServeSystem.h"
#include "ServeTls.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// "127.0.0.1:9100", "[::1]:9100".
std::string HostPort(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// What a connection may keep queued in the system for a client that does
// not read: a few round trips' worth, whatever the system would grow it to.
const int SEND_BUFFER = 64 * 1024;

// Accepts connections for as long as the server runs. Each new client is
// answered: room is made for it from the connections that cost most (see
// CConnections). Out of descriptors, a connection is dropped to free one,
// or, with none open, accepting pauses for a moment.
class CListener {
public:
    CListener(tcp::acceptor& acceptor, ServerState& state, asio::ssl::context* tls)
        : acceptor_(acceptor), state_(state), tls_(tls), pause_(acceptor.get_executor()) {}

    // Takes a connection, then every other one waiting (up to a batch, so
    // that the sessions get their turn): one wake-up for many connections,
    // which under Wine is most of what each costs.
    void Accept() {
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

private:
    void Start(tcp::socket socket, const tcp::endpoint& peer) {
        state_.connections.MakeRoom(ClientOf(peer.address()));
        beast::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(SEND_BUFFER), ignored);
        if (tls_) {
            StartTlsSession(state_, std::move(socket), *tls_);
        } else {
            StartSession(state_, beast::tcp_stream(std::move(socket)));
        }
    }

    tcp::acceptor& acceptor_;
    ServerState& state_;
    asio::ssl::context* tls_;
    asio::steady_timer pause_;
    tcp::endpoint peer_;
};

}  // namespace

int Serve(const Options& options, std::atomic<int>* signal, asio::ssl::context* tls, Authorizer authorize) {
    if (tls && !TlsAvailable()) {
        std::fputs("vantorix-info: this build has no TLS\n", stderr);
        return EXIT_USAGE;
    }
    CEvents events;  // outlives the sessions, which leave it as they end
    CLatestReading latest(options, signal);
    ServerState state{MakeSite(options, &latest), ServeLimits(), CConnections(ConnectionCap()), authorize, nullptr};
    state.site.allowed_hosts = options.allowed_hosts;
    state.events = &events;

    asio::io_context context(1);
    if (authorize) {
        state.checks.reset(new CPasswordChecks(context.get_executor(), [check = authorize.check](
                                                                            const std::string& header) {
            return check(header);
        }));
        state.connections.drop_checking = [&state] { return state.checks->DropOne(); };
    }
    // Until here a signal only set `*signal` (and cut the first read short).
    asio::signal_set signals(context);
    for (const int number : StopSignals()) signals.add(number);
    signals.async_wait([&](beast::error_code error, int number) {
        if (error) return;
        *signal = number;
        context.stop();
    });
    // The last save, on every way out, while the signals are still taken
    // here (their set gives them their default action back as it goes): a
    // second one does not cut it short. Then they are held back, and the
    // process exits 0 whatever comes.
    struct FinalSave {
        CLatestReading& latest;
        ~FinalSave() {
            latest.Stop();
            HoldStopSignals();
        }
    } final_save{latest};
    if (*signal) return EXIT_OK;

    beast::error_code error;
    tcp::acceptor acceptor(context);
    tcp::endpoint where;
    const auto found = tcp::resolver(context).resolve(options.serve_host, std::to_string(options.serve_port),
                                                      tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (!error) {
        where = found.begin()->endpoint();
        acceptor.open(where.protocol(), error);
    }
    if (!error) PrepareListener(acceptor);
    if (!error) acceptor.bind(where, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        std::fprintf(stderr,
                     "vantorix-info: cannot serve %s: the port is in use, or the address is not one of this "
                     "machine's, or it is not allowed (%s)\n",
                     HostPort(options.serve_host, options.serve_port).c_str(), error.message().c_str());
        return EXIT_READ_FAILED;
    }
    where = acceptor.local_endpoint();
    const std::string address = where.address().to_string();
    // Names of this machine are no rebinding (the FQDN would ask DNS).
    const std::string name = asio::ip::host_name(error);
    if (!error && !name.empty()) state.site.allowed_hosts.push_back(name);
    if (!where.address().is_loopback() && !authorize) {
        std::fprintf(stderr,
                     "vantorix-info: warning: serving on %s, which other machines may reach, with no "
                     "authentication: anyone who reaches it can read the readings\n",
                     address.c_str());
    }

    acceptor.non_blocking(true, error);
    CListener listener(acceptor, state, tls);
    listener.Accept();
    std::printf("vantorix-info: serving %s://%s/ (metrics at /metrics; Ctrl-C to stop)\n", tls ? "https" : "http",
                HostPort(address, where.port()).c_str());
    if (!options.textfile.empty()) {
        std::printf("vantorix-info: writing the metrics to %s after each read\n", options.textfile.c_str());
        latest.StartTextfile();
    }
    std::fflush(stdout);
    // Each read is rendered once, on the event loop, for every event stream;
    // with none open the loop is not woken.
    events.render = [&latest] {
        std::uint64_t reads = 0;
        return RenderJson(latest.Get(&reads));
    };
    latest.OnRead([&context, &events] {
        if (events.Listening()) asio::post(context, [&events] { events.Publish(events.render()); });
    });
    // A read that failed for want of descriptors: a connection goes, as at the cap.
    latest.OnOutOfDescriptors([&context, &state, &latest] {
        asio::post(context, [&state, &latest] { latest.RoomMade(state.connections.DropOne()); });
    });
    context.run();
    latest.OnRead(nullptr);  // the context is gone before the reading thread
    latest.OnOutOfDescriptors(nullptr);
    // Checks still waiting are dropped, and their connections closed, while
    // the context their sockets belong to is still there; a check in
    // progress is not waited for.
    if (state.checks) state.checks->Stop();
    return EXIT_OK;
}
