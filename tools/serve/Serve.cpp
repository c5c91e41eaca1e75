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
#include "http/Descriptors.h"
#include "http/ListenSocket.h"
#include "http/StopSignals.h"
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

// The server. Its members are made in the order they are declared and go in
// the reverse order, so that each outlives every member declared after it,
// which may use it: the sessions (which the context ends) leave the event
// streams and the state; the password checks and the event feed post to the
// context, and go before it; the final save stops the reading thread while
// the signals are still taken.
class CServer {
public:
    CServer(const Options& options, std::atomic<int>* signal, WebServing web,
            std::function<void(const Reading&)> each_read)
        : options_(options),
          signal_(signal),
          web_(std::move(web)),
          textfile_(options.textfile),
          mqtt_(std::move(each_read)),
          latest_(options, signal),
          site_(MakeSite(options, &latest_)),
          state_{RequestHandler{nullptr, Refusal}, ServeLimits(), CConnections(ConnectionCap()), &events_},
          checks_(web_.authorize ? new CPasswordChecks(context_.get_executor(),
                                                       [check = web_.authorize.check](const std::string& header) {
                                                           return check(header);
                                                       })
                                 : nullptr),
          feed_(events_, context_.get_executor()),
          final_save_{latest_} {
        site_.allowed_hosts = options.allowed_hosts;
        state_.handler.answer = Authenticated(site_, web_.authorize, checks_.get());
        // Until here a signal only set `*signal` (and cut the first read short).
        for (const int number : StopSignals()) signals_.add(number);
        signals_.async_wait([this](beast::error_code error, int number) {
            if (error) return;
            *signal_ = number;
            context_.stop();
        });
    }

    // Serves until a stop signal; the exit status.
    int Run() {
        if (*signal_) return EXIT_OK;
        if (!Bind()) return EXIT_CANNOT_SERVE;
        listener_.Accept();
        std::printf("vantorix-info: serving %s://%s/ (metrics at /metrics; Ctrl-C to stop)\n",
                    web_.tls ? "https" : "http", HostPort(address_, acceptor_.local_endpoint().port()).c_str());
        // The textfile is written only once the address is ours, so that a
        // second server (another user's, at logon) that cannot have the port
        // writes nothing over the first one's file.
        if (!options_.textfile.empty()) {
            std::printf("vantorix-info: writing the metrics to %s after each read\n", options_.textfile.c_str());
            latest_.Listen(&textfile_);
        }
        if (mqtt_) latest_.Listen(&mqtt_);
        std::fflush(stdout);
        events_.render = [this](std::uint64_t* number) {
            const LatestRead now = latest_.Get();
            *number = now.number;
            return RenderJson(now.reading);
        };
        latest_.Listen(&feed_);
        // A read that failed for want of descriptors: a connection goes, as at the cap.
        latest_.OnOutOfDescriptors([this] {
            asio::post(context_, [this] { latest_.RoomMade(state_.connections.DropOne()); });
        });
        context_.run();
        // The context is gone before the reading thread.
        latest_.Forget(&feed_);
        latest_.OnOutOfDescriptors(nullptr);
        // Checks still waiting are dropped, and their connections closed, while
        // the context their sockets belong to is still there; a check in
        // progress is not waited for.
        if (checks_) checks_->Stop();
        return EXIT_OK;
    }

private:
    // Binds the address and listens; false, told on stderr, when it cannot.
    bool Bind() {
        beast::error_code error;
        tcp::endpoint where;
        const auto found = tcp::resolver(context_).resolve(options_.serve_host, std::to_string(options_.serve_port),
                                                           tcp::resolver::passive | tcp::resolver::numeric_service,
                                                           error);
        if (!error) {
            where = found.begin()->endpoint();
            acceptor_.open(where.protocol(), error);
        }
        if (!error) PrepareListener(acceptor_);
        if (!error) acceptor_.bind(where, error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            std::fprintf(stderr,
                         "vantorix-info: cannot serve %s: the port is in use, or the address is not one of this "
                         "machine's, or it is not allowed (%s)\n",
                         HostPort(options_.serve_host, options_.serve_port).c_str(), error.message().c_str());
            return false;
        }
        where = acceptor_.local_endpoint();
        address_ = where.address().to_string();
        // Names of this machine are no rebinding (the FQDN would ask DNS).
        const std::string name = asio::ip::host_name(error);
        if (!error && !name.empty()) site_.allowed_hosts.push_back(name);
        if (!where.address().is_loopback() && !web_.authorize) {
            std::fprintf(stderr,
                         "vantorix-info: warning: serving on %s, which other machines may reach, with no "
                         "authentication: anyone who reaches it can read the readings\n",
                         address_.c_str());
        }
        acceptor_.non_blocking(true, error);
        return true;
    }

    // The last save, on every way out, while the signals are still taken
    // (their set gives them their default action back as it goes): a second
    // one does not cut it short. Then they are held back, and the process
    // exits 0 whatever comes.
    struct FinalSave {
        CLatestReading& latest;
        ~FinalSave() {
            latest.Stop();
            HoldStopSignals();
        }
    };

    const Options& options_;
    std::atomic<int>* signal_;
    WebServing web_;  // the TLS context the sessions use, the users' check
    CEventStreams events_;
    CTextfilePage textfile_;  // listeners until the reading thread ends
    CEachRead mqtt_;
    CLatestReading latest_;
    Site site_;
    ServerState state_;
    asio::io_context context_{1};
    std::unique_ptr<CPasswordChecks> checks_;  // with an authorizer
    CEventFeed feed_;  // forgotten at the end of Run, as the context is gone before the reading thread
    asio::signal_set signals_{context_};
    FinalSave final_save_;
    tcp::acceptor acceptor_{context_};
    CListener listener_{acceptor_, state_, web_.tls.get()};
    std::string address_;  // the address served
};

}  // namespace

int Serve(const Options& options, std::atomic<int>* signal, std::function<void(const Reading&)> each_read) {
    WebServing web;
    std::string why;
    if (!options.web_config.empty() && !LoadWebServing(options.web_config, &web, &why)) {
        std::fprintf(stderr, "vantorix-info: --web-config: %s\n", why.c_str());
        return EXIT_USAGE;
    }
    CServer server(options, signal, std::move(web), std::move(each_read));
    return server.Run();
}
