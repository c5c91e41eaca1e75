// GET /api/events: the latest reading pushed as server-sent events, so that
// an open page is told of each new read instead of asking for it. Every
// event is the JSON of /api/readings, rendered once per read for all the
// streams. A stream asks for one event per read (the default) or per
// `every` reads. Everything here runs on the server's one event loop.
#ifndef VANTORIX_SERVE_EVENTSTREAM_H
#define VANTORIX_SERVE_EVENTSTREAM_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/EventSink.h"

class CEvents : public CEventHub {
public:
    // The JSON of /api/readings now (one line): what a stream gets first.
    std::function<std::string()> render;

    // The sink gets the latest reading at once, then one in every `every`.
    void Join(CEventSink* sink, int every) override;
    void Leave(CEventSink* sink) override;
    // A new read, as the JSON of /api/readings.
    void Publish(const std::string& json);
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
    std::atomic<bool> listening_{false};
};

// The query of /api/events: "" or "every=N", N from 1 to 3600; 0 when malformed.
int EventsEvery(const std::string& query);

#endif  // VANTORIX_SERVE_EVENTSTREAM_H
