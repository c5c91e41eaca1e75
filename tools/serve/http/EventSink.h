// Connections that stream events (/api/events), as the transport sees them:
// a session joins the server's streams once its response's head is sent and
// leaves when its client goes.
#ifndef VANTORIX_SERVE_HTTP_EVENTSINK_H
#define VANTORIX_SERVE_HTTP_EVENTSINK_H

#include <memory>
#include <string>

// A connection that streams events. It holds at most one event besides the
// one it is sending: a client that does not read is dropped, never queued for.
class CEventSink {
public:
    virtual ~CEventSink() = default;
    virtual void Push(const std::shared_ptr<const std::string>& event) = 0;
};

// The streams a sink joins.
class CEventHub {
public:
    virtual ~CEventHub() = default;
    // The sink gets the latest event at once, then one in every `every`.
    virtual void Join(CEventSink* sink, int every) = 0;
    virtual void Leave(CEventSink* sink) = 0;
};

#endif  // VANTORIX_SERVE_HTTP_EVENTSINK_H
