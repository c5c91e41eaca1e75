// GET /api/events: the latest reading pushed as server-sent events, so that
// an open page is told of each new read instead of asking for it. Every
// event is the JSON of /api/readings, rendered once per read for all the
// streams, and sent once, in the order made, even when the loop falls
// behind the reads. A stream asks for one event per read (the default) or
// per `every` reads. Everything here runs on the server's one event loop.
#ifndef VANTORIX_SERVE_EVENTSTREAM_H
#define VANTORIX_SERVE_EVENTSTREAM_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "ReadListener.h"
#include "http/EventSink.h"

class CEventStreams : public CEventHub {
public:
    // The JSON of /api/readings now (one line), and that reading's number
    // (in the order made): what a stream gets first.
    std::function<std::string(std::uint64_t* number)> render;

    // The sink gets the latest reading at once, then one in every `every`.
    void Join(CEventSink* sink, int every) override;
    void Leave(CEventSink* sink) override;
    // Reading `number`, as the JSON of /api/readings: sent only if newer
    // than the last one sent or rendered, so none goes twice or out of order.
    void Publish(std::uint64_t number, const std::string& json);
    // Whether any stream is open; from any thread, so that the reading
    // thread wakes the event loop only for a stream.
    bool Listening() const { return listening_; }

private:
    struct Member {
        CEventSink* sink;
        int every;
        int count;
    };
    std::vector<Member> members_;
    std::shared_ptr<const std::string> latest_;  // null while nobody listens
    std::uint64_t published_ = 0;  // the number of the newest reading sent or rendered
    std::atomic<bool> listening_{false};
};

// The reads, handed to the streams: each reading is posted to the event loop
// with its own copy (not the newest), rendered there once for every stream,
// so that a loop behind the reads still sends each. With no stream open the
// loop is not woken.
class CEventFeed : public CReadListener {
public:
    CEventFeed(CEventStreams& streams, boost::asio::any_io_executor loop) : streams_(streams), loop_(loop) {}
    void OnRead(const LatestRead& read) override;

private:
    CEventStreams& streams_;
    boost::asio::any_io_executor loop_;
};

// The query of /api/events: "" or "every=N", N from 1 to 3600; 0 when malformed.
int EventsEvery(const std::string& query);

#endif  // VANTORIX_SERVE_EVENTSTREAM_H
