// One --serve connection, over a plain TCP stream or a TLS one, in named
// steps: DoRead (wait for a request) -> OnRead (its head, never a body) ->
// HandleRequest (the RequestHandler's answer) -> Respond -> Write -> OnWrite,
// then DoRead again, an event stream (StartEvents) or the close (Linger).
// Every wait has a deadline that does not restart with each byte: a slow or
// silent client costs a socket and a few KiB until then, never a thread.
#ifndef VANTORIX_SERVE_HTTP_HTTPSESSION_H
#define VANTORIX_SERVE_HTTP_HTTPSESSION_H

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Connections.h"
#include "EventQueue.h"
#include "EventSink.h"
#include "HeavyResponses.h"
#include "Messages.h"
#include "ResponseBody.h"

namespace beast = boost::beast;
namespace http = boost::beast::http;

// The version of the answer to a request whose head could not be read.
const unsigned HTTP_1_1 = 11;

struct ServeLimits {
    std::chrono::seconds head{5};    // a request's whole head (and a TLS handshake), from its first byte
    std::chrono::seconds idle{15};   // a kept-alive connection between requests
    std::chrono::seconds write{10};  // a whole response
    std::size_t head_bytes = 8192;   // a request's head: beyond it, 431
    int heavy = 8;                   // heavy responses in flight at once, a quarter of them per client
};

struct ServerState {
    RequestHandler handler;
    ServeLimits limits;
    CConnections connections;
    CEventHub* events = nullptr;  // the streams of /api/events
    CHeavyResponses heavy{limits.heavy};
};

// What differs between stream types: the handshake that precedes the first
// request. TLS's is in the file that brings TLS in (tls_linux.cpp).
template <class Stream>
struct StreamStart;

template <>
struct StreamStart<beast::tcp_stream> {
    template <class Handler>
    static void Handshake(beast::tcp_stream&, Handler&& handler) {
        handler(beast::error_code());
    }
};

template <class Stream>
class CSession : public CConnection, public CEventSink, public std::enable_shared_from_this<CSession<Stream>> {
public:
    CSession(ServerState& state, Stream stream) : state_(state), stream_(std::move(stream)) {
        beast::error_code error;
        const auto peer = Lowest().socket().remote_endpoint(error);
        client_ = error ? std::string() : ClientOf(peer.address());
        state_.connections.Opened(this, client_);
    }
    ~CSession() override {
        if (streaming_) state_.events->Leave(this);
        state_.connections.Closed(this);
    }

    // The first step: the stream's handshake (none for plain TCP), under
    // the head's deadline, then DoRead.
    void Start() {
        state_.connections.Waiting(this);
        Lowest().expires_after(state_.limits.head);
        StreamStart<Stream>::Handshake(stream_, beast::bind_front_handler(&CSession::OnHandshake, Self()));
    }

    // At once and whole: what was queued for the client is discarded (a
    // reset), and pending operations are cancelled first, without which Wine
    // keeps the socket of a write that never ends.
    void Drop() override {
        beast::error_code ignored;
        Lowest().socket().set_option(boost::asio::socket_base::linger(true, 0), ignored);
        Lowest().socket().cancel(ignored);
        Lowest().close();
    }

private:
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
    std::shared_ptr<CSession> Self() { return this->shared_from_this(); }

    void OnHandshake(beast::error_code error) {
        if (!error) ReadHead();
    }

    // Between requests: the idle deadline until the next one begins, then
    // the head's own deadline.
    void DoRead() {
        state_.connections.Waiting(this);
        if (buffer_.size() > 0) {  // pipelined: the next request is here already
            Lowest().expires_after(state_.limits.head);
            return ReadHead();
        }
        Lowest().expires_after(state_.limits.idle);
        stream_.async_read_some(buffer_.prepare(512), beast::bind_front_handler(&CSession::OnFirstBytes, Self()));
    }

    void OnFirstBytes(beast::error_code error, std::size_t bytes) {
        buffer_.commit(bytes);
        if (error) return;
        Lowest().expires_after(state_.limits.head);
        ReadHead();
    }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(state_.limits.head_bytes));
        parser_->body_limit((std::numeric_limits<std::uint64_t>::max)());  // a body is refused, never read
        head_bytes_ = 0;
        ReadHeadPiece();
    }

    void ReadHeadPiece() {
        http::async_read_some(stream_, buffer_, *parser_, beast::bind_front_handler(&CSession::OnHeadPiece, Self()));
    }

    // The parser's own limit holds for each piece it is given, and it keeps
    // the fields of every piece: the whole head is counted here.
    void OnHeadPiece(beast::error_code error, std::size_t bytes) {
        head_bytes_ += bytes;
        if (!error && head_bytes_ > state_.limits.head_bytes) error = http::error::header_limit;
        if (!error && !parser_->is_header_done()) return ReadHeadPiece();
        OnRead(error);
    }

    // A whole head, or why there is none.
    void OnRead(beast::error_code error) {
        state_.connections.Busy(this);
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            return Write(state_.handler.refuse(431), false, HTTP_1_1);
        }
        if (error) {
            // A malformed head is told so; a client that left, was too slow
            // or was dropped only loses its connection.
            const bool malformed = error != http::error::end_of_stream &&
                                   error.category() == beast::error_code(http::error::bad_target).category();
            if (malformed) Write(state_.handler.refuse(400), false, HTTP_1_1);
            return;
        }
        HandleRequest();
    }

    // The head stays in parser_ until the answer: nothing is read meanwhile.
    void HandleRequest() {
        const auto& head = parser_->get();
        HttpRequest request;
        request.method = std::string(head.method_string());
        request.target = std::string(head.target());
        request.header = [&head](const char* name) {
            const auto found = head.find(name);
            return found == head.end() ? std::string() : std::string(found->value());
        };
        request.client = client_;
        state_.handler.answer(request, beast::bind_front_handler(&CSession::Respond, Self()));
    }

    // The handler's answer, now or after a password check.
    void Respond(HttpResponse response) {
        const auto& head = parser_->get();
        std::shared_ptr<const void> until_sent;
        if (response.heavy) {
            until_sent = state_.heavy.Take(client_);
            if (!until_sent) response = state_.handler.refuse(503);
        }
        // A body is never read, so what follows the head is not a request.
        if (!parser_->is_done() || !head.keep_alive()) response.close = true;
        Write(std::move(response), head.method() == http::verb::head, head.version(), std::move(until_sent));
    }

    // `until_sent`: let go once the response is sent or dropped.
    void Write(HttpResponse answer, bool head_only, unsigned version,
               std::shared_ptr<const void> until_sent = nullptr) {
        response_.emplace(static_cast<http::status>(answer.status), version);
        if (!answer.type.empty()) response_->set(http::field::content_type, answer.type);
        for (const auto& field : answer.headers) response_->insert(field.first, field.second);
        // An event stream has no length: it ends when the connection does.
        const int every = head_only || !state_.events ? 0 : answer.events_every;
        ResponseBody::value_type& body = response_->body();
        body.own = std::move(answer.text);
        body.pieces = std::move(answer.shared_text);
        // The page's files are shared by every response, never copied.
        if (answer.file) body.pieces.insert(body.pieces.begin(), TextPiece{answer.file, 0, answer.file->size()});
        body.until_sent = std::move(until_sent);
        if (every == 0) response_->content_length(ResponseBody::size(body));
        if (head_only) {
            body.own.clear();
            body.pieces.clear();
        }
        response_->keep_alive(!answer.close && every == 0);
        // Only what the connection holds of its own counts against the budget.
        state_.connections.Writing(this, body.own.size());
        Lowest().expires_after(state_.limits.write);
        http::async_write(stream_, *response_,
                          beast::bind_front_handler(&CSession::OnWrite, Self(), answer.close, every));
    }

    void OnWrite(bool close, int every, beast::error_code error, std::size_t) {
        response_.reset();
        if (error) return;
        if (every > 0) return StartEvents(every);
        if (close) return Linger();
        DoRead();
    }

    // A stream waits like an idle connection (the longest waiting make room
    // at the cap) and reads only to learn that the client left.
    void StartEvents(int every) {
        state_.connections.Waiting(this);
        streaming_ = true;
        buffer_.clear();
        WatchClient();  // before the first event, whose write deadline it must not take
        state_.events->Join(this, every);
    }

    // With no deadline: a deadline set while a read is pending is the
    // write's alone (Beast keeps one per direction), so each event's write
    // is bounded and the stream lives as long as its client reads.
    void WatchClient() {
        Lowest().expires_never();
        stream_.async_read_some(buffer_.prepare(512), beast::bind_front_handler(&CSession::OnClientRead, Self()));
    }

    void OnClientRead(beast::error_code error, std::size_t) {
        if (!error) return WatchClient();
        state_.events->Leave(this);
        streaming_ = false;
        Lowest().close();
    }

    void Push(const std::shared_ptr<const std::string>& event) override {
        if (!streaming_) return;
        const CEventQueue::Next next = events_.Push(event);
        if (next == CEventQueue::Next::Drop) return Drop();
        if (next == CEventQueue::Next::Send) SendEvent();
    }

    void SendEvent() {
        Lowest().expires_after(state_.limits.write);
        boost::asio::async_write(stream_, boost::asio::buffer(events_.Sending()),
                                 beast::bind_front_handler(&CSession::OnEventSent, Self()));
    }

    void OnEventSent(beast::error_code error, std::size_t) {
        const bool more = static_cast<bool>(events_.Sent());
        if (error) return Drop();
        Lowest().expires_never();
        if (more) SendEvent();
    }

    // After the last response: no more to send, and what the client still
    // sends (a body that was refused) is discarded for a moment, up to a
    // little, so that the close does not reset the connection before the
    // client has read the answer.
    void Linger() {
        beast::error_code ignored;
        Lowest().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
        state_.connections.Waiting(this);
        Lowest().expires_after(std::chrono::seconds(1));
        Discard(64 * 1024);
    }

    void Discard(std::size_t budget) {
        buffer_.clear();
        Lowest().async_read_some(buffer_.prepare(4096),
                                 beast::bind_front_handler(&CSession::OnDiscarded, Self(), budget));
    }

    void OnDiscarded(std::size_t budget, beast::error_code error, std::size_t bytes) {
        if (!error && bytes < budget) Discard(budget - bytes);
    }

    ServerState& state_;
    Stream stream_;
    std::string client_;  // ClientOf its peer
    beast::flat_buffer buffer_{16 * 1024};
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::size_t head_bytes_ = 0;
    std::optional<http::response<ResponseBody>> response_;
    bool streaming_ = false;  // joined to state_.events
    CEventQueue events_;
};

// Starts a session over `stream`; it lives as long as its operations.
template <class Stream>
void StartSession(ServerState& state, Stream stream) {
    std::make_shared<CSession<Stream>>(state, std::move(stream))->Start();
}

#endif  // VANTORIX_SERVE_HTTP_HTTPSESSION_H
