#include "EventStream.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "Numbers.h"
#include "Outputs.h"

namespace {

// One line of JSON: one data line, and the blank line that ends the event.
std::shared_ptr<const std::string> Event(const std::string& json) {
    std::string event = "data: " + json;
    while (!event.empty() && event.back() == '\n') event.pop_back();
    return std::make_shared<const std::string>(event + "\n\n");
}

}  // namespace

void CEventStreams::Join(CEventSink* sink, int every) {
    members_.push_back({sink, every, 0});
    listening_ = true;
    if (!latest_ && render) latest_ = Event(render(&published_));
    if (latest_) sink->Push(latest_);
}

void CEventStreams::Leave(CEventSink* sink) {
    members_.erase(std::remove_if(members_.begin(), members_.end(), [sink](const Member& m) { return m.sink == sink; }),
                   members_.end());
    listening_ = !members_.empty();
    if (members_.empty()) latest_.reset();
}

void CEventStreams::Publish(std::uint64_t number, const std::string& json) {
    if (number <= published_) return;
    published_ = number;
    if (members_.empty()) return;
    latest_ = Event(json);
    std::vector<CEventSink*> due;  // pushed after the walk: a push may drop its sink
    for (Member& member : members_) {
        if (++member.count < member.every) continue;
        member.count = 0;
        due.push_back(member.sink);
    }
    for (CEventSink* sink : due) sink->Push(latest_);
}

void CEventFeed::OnRead(const LatestRead& read) {
    if (!streams_.Listening()) return;
    const auto copy = std::make_shared<const Reading>(read.reading);
    boost::asio::post(loop_, [&streams = streams_, number = read.number, copy] {
        streams.Publish(number, RenderJson(*copy));
    });
}

int EventsEvery(const std::string& query) {
    if (query.empty()) return 1;
    if (query.compare(0, 6, "every=") != 0 || query.size() > 10) return 0;
    long long every = 0;
    return ParseWhole(std::string_view(query).substr(6), 1, 3600, Sign::Refused, &every) ? static_cast<int>(every) : 0;
}
