// The events of one stream on their way to its client: the one being sent
// and at most one waiting. A client that has not taken the one being sent by
// the time two more come does not read, and is dropped, never queued for.
#ifndef VANTORIX_SERVE_HTTP_EVENTQUEUE_H
#define VANTORIX_SERVE_HTTP_EVENTQUEUE_H

#include <memory>
#include <string>
#include <utility>

class CEventQueue {
public:
    using Event = std::shared_ptr<const std::string>;
    enum class Next { Send, Wait, Drop };

    // `event` comes: Send it now (none is being sent), let it Wait, or Drop
    // the stream (one waits already).
    Next Push(Event event) {
        if (!sending_) {
            sending_ = std::move(event);
            return Next::Send;
        }
        if (waiting_) return Next::Drop;
        waiting_ = std::move(event);
        return Next::Wait;
    }
    // The event being sent.
    const std::string& Sending() const { return *sending_; }
    // The one being sent went: the next one to send, or null.
    Event Sent() {
        sending_ = std::move(waiting_);
        waiting_.reset();
        return sending_;
    }

private:
    Event sending_, waiting_;
};

#endif  // VANTORIX_SERVE_HTTP_EVENTQUEUE_H
