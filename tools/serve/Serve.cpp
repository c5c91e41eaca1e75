// vantorix-info --serve: an event-driven HTTP server (Boost.Beast on
// Boost.Asio) over the latest reading. One thread runs every connection;
// every response is rendered from CLatestReading, so no request reads the
// monitor itself or waits for it.
#include "Serve.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "EventStream.h"
#include "LatestReading.h"
#include "Outputs.h"
#include "ReadListener.h"
#include "Routes.h"
#include "Textfile.h"
#include "http/HttpSession.h"
#include "http/Listener.h"
#include "http/System.h"
#include "web/WebServing.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// --textfile: the metrics page written after each read.
class CTextfilePage : public CReadListener {
public:
    explicit CTextfilePage(const std::string& path) : file_(path) {}
    void OnRead(const LatestRead& read) override { file_.Write(RenderPrometheus(read.reading)); }

private:
    CTextfile file_;
};

// A function handed each reading (--mqtt's client).
class CEachRead : public CReadListener {
public:
    explicit CEachRead(std::function<void(const Reading&)> each_read) : each_read_(std::move(each_read)) {}
    void OnRead(const LatestRead& read) override { each_read_(read.reading); }
    explicit operator bool() const { return static_cast<bool>(each_read_); }

private:
    std::function<void(const Reading&)> each_read_;
};

// "127.0.0.1:9100", "[::1]:9100".
std::string HostPort(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

int Serve(const Options& options, std::atomic<int>* signal, std::function<void(const Reading&)> each_read) {
    WebServing web;
    std::string why;
    if (!options.web_config.empty() && !LoadWebServing(options.web_config, &web, &why)) {
        std::fprintf(stderr, "vantorix-info: --web-config: %s\n", why.c_str());
        return EXIT_USAGE;
    }
    asio::ssl::context* tls = web.tls.get();
    const Authorizer& authorize = web.authorize;
    CEventStreams events;  // outlives the sessions, which leave it as they end
    // Listeners of the reads until the reading thread ends, after the loop.
    CTextfilePage textfile(options.textfile);
    CEachRead mqtt(std::move(each_read));
    CLatestReading latest(options, signal);
    Site site = MakeSite(options, &latest);
    site.allowed_hosts = options.allowed_hosts;
    std::unique_ptr<CPasswordChecks> checks;  // made once the context is
    ServerState state{RequestHandler{nullptr, Refusal}, ServeLimits(), CConnections(ConnectionCap()), &events};

    asio::io_context context(1);
    if (authorize) {
        checks.reset(new CPasswordChecks(context.get_executor(), [check = authorize.check](const std::string& header) {
            return check(header);
        }));
    }
    state.handler.answer = Authenticated(site, authorize, checks.get());

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
        return EXIT_CANNOT_SERVE;
    }
    where = acceptor.local_endpoint();
    const std::string address = where.address().to_string();
    // Names of this machine are no rebinding (the FQDN would ask DNS).
    const std::string name = asio::ip::host_name(error);
    if (!error && !name.empty()) site.allowed_hosts.push_back(name);
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
    // The textfile is written only once the address is ours, so that a
    // second server (another user's, at logon) that cannot have the port
    // writes nothing over the first one's file.
    if (!options.textfile.empty()) {
        std::printf("vantorix-info: writing the metrics to %s after each read\n", options.textfile.c_str());
        latest.Listen(&textfile);
    }
    if (mqtt) latest.Listen(&mqtt);
    std::fflush(stdout);
    events.render = [&latest](std::uint64_t* number) {
        const LatestRead now = latest.Get();
        *number = now.number;
        return RenderJson(now.reading);
    };
    CEventFeed feed(events, context.get_executor());
    latest.Listen(&feed);
    // A read that failed for want of descriptors: a connection goes, as at the cap.
    latest.OnOutOfDescriptors([&context, &state, &latest] {
        asio::post(context, [&state, &latest] { latest.RoomMade(state.connections.DropOne()); });
    });
    context.run();
    latest.Forget(&feed);  // the context is gone before the reading thread
    latest.OnOutOfDescriptors(nullptr);
    // Checks still waiting are dropped, and their connections closed, while
    // the context their sockets belong to is still there; a check in
    // progress is not waited for.
    if (checks) checks->Stop();
    return EXIT_OK;
}
