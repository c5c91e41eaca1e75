// A connection's limits, on a real session over loopback, run step by step
// on the test's thread: a head is counted whole however it arrives, an
// event stream two events behind is dropped, and running out of descriptors
// does not end accepting.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cerrno>
#include <chrono>
#include <string>

#include "EventStream.h"
#include "TakenDescriptors.h"
#include "Routes.h"
#include "http/HttpSession.h"
#include "http/Listener.h"

namespace {

using tcp = boost::asio::ip::tcp;

// "/events" begins an event stream; anything else is answered "ok".
void Answer(const HttpRequest& request, Respond respond) {
    HttpResponse response;
    response.text = "ok";
    if (request.target == "/events") response.events_every = 1;
    respond(std::move(response));
}

// As Serve makes it: the sessions, which the context ends, leave the state
// and the streams, which outlive it.
struct Server {
    CEventStreams events;
    ServerState state{RequestHandler{Answer, Refusal}, ServeLimits(), CConnections(16), &events};
    boost::asio::io_context context{1};
    tcp::acceptor acceptor{context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
    CListener listener{acceptor, state, nullptr};

    Server() {
        state.limits.write = std::chrono::seconds(60);  // longer than any wait here
        acceptor.non_blocking(true);
        listener.Accept();
    }
    // Runs what is ready, without waiting.
    void Step() {
        context.restart();
        context.poll();
    }
};

// A client that reads only when asked; its receive buffer small, so that
// a large write to it stays unfinished.
struct Client {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    explicit Client(const Server& server) {
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(server.acceptor.local_endpoint().port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to));
    }
    ~Client() { close(fd); }
    bool Send(const std::string& bytes) const {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Whether the server ended the connection within `ms`.
    bool Ended(int ms) const {
        pollfd watch{fd, 0, 0};
        return poll(&watch, 1, ms) == 1 && (watch.revents & (POLLERR | POLLHUP));
    }
    // The status line of the answer, while `server` runs.
    std::string Status(Server& server) const {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            server.context.restart();
            server.context.run_one_for(std::chrono::milliseconds(50));
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) break;
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
        return got.substr(0, got.find("\r\n"));
    }
};

}  // namespace

// Each row: the head's fields, in pieces of `piece` bytes each read on its
// own, and the status line it gets.
TEST(Session, AHeadIsCountedWhole) {
    const struct {
        std::size_t fields, piece;
        const char* status;
    } rows[] = {
        {7900, 100000, "HTTP/1.1 200 OK"},
        {7900, 50, "HTTP/1.1 200 OK"},
        {9000, 100000, "HTTP/1.1 431 Request Header Fields Too Large"},
        {9000, 50, "HTTP/1.1 431 Request Header Fields Too Large"},
        {20000, 1000, "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    for (const auto& row : rows) {
        Server server;
        Client client(server);
        std::string head = "GET / HTTP/1.1\r\nHost: localhost\r\n";
        while (head.size() < row.fields) head += "X-Pad: " + std::string(40, 'x') + "\r\n";
        head += "\r\n";
        for (std::size_t at = 0; at < head.size() && client.Send(head.substr(at, row.piece)); at += row.piece) {
            server.Step();
        }
        EXPECT_EQ(row.status, client.Status(server)) << row.fields << " in pieces of " << row.piece;
    }
}

// A stream that does not read: with one event being sent and one waiting it
// is kept; one more, and it is dropped rather than have its waiting event
// replaced.
TEST(Session, AStreamTwoEventsBehindIsDropped) {
    const std::string event(1 << 20, 'x');  // far more than the socket takes
    const struct {
        int published;  // after the first event, sent when it joined
        bool dropped;
    } rows[] = {{1, false}, {2, true}};
    for (const auto& row : rows) {
        Server server;
        server.events.render = [&](std::uint64_t*) { return event; };
        Client client(server);
        ASSERT_TRUE(client.Send("GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!server.events.Listening() && std::chrono::steady_clock::now() < deadline) {
            server.context.restart();
            server.context.run_one_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(server.events.Listening());
        for (int i = 0; i < row.published; ++i) {
            server.events.Publish(i + 1, event);
            server.Step();
        }
        EXPECT_EQ(row.dropped, client.Ended(row.dropped ? 5000 : 0)) << row.published;
    }
}

// Out of descriptors, the listener waits and accepts again: a connection
// queued while none was free is answered once one is.
TEST(Session, AnAcceptErrorDoesNotEndAccepting) {
    Server server;
    Client client(server);
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    CTakenDescriptors taken;
    ASSERT_TRUE(taken.Limited());
    server.Step();  // the accept fails with EMFILE
    ASSERT_TRUE(taken.GiveBack());
    ASSERT_EQ(EMFILE, taken.Why());
    EXPECT_EQ("HTTP/1.1 200 OK", client.Status(server));
}
