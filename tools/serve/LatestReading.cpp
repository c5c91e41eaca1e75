#include "LatestReading.h"

#include <algorithm>
#include <chrono>

#include "http/Descriptors.h"

CLatestReading::CLatestReading(const Options& options, const std::atomic<int>* interrupted)
    : history_(options), thread_(&CLatestReading::Run, this, options, interrupted) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return latest_.number > 0; });
}

void CLatestReading::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    history_.Finish();
}

LatestRead CLatestReading::Get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return latest_;
}

HistoryAnswer CLatestReading::History(const std::string& query) const {
    return history_.Answer(query);
}

void CLatestReading::Listen(CReadListener* listener) {
    std::lock_guard<std::mutex> listening(listening_);
    listeners_.push_back(listener);
    listener->OnRead(Get());
}

void CLatestReading::Forget(CReadListener* listener) {
    std::lock_guard<std::mutex> listening(listening_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void CLatestReading::OnOutOfDescriptors(std::function<void()> make_room) {
    std::lock_guard<std::mutex> guard(lock_);
    make_room_ = std::move(make_room);
}

void CLatestReading::RoomMade(bool made) {
    std::lock_guard<std::mutex> guard(lock_);
    if (room_ == Room::Asked) room_ = made ? Room::Made : Room::None;
    changed_.notify_all();
}

// Asks for room and waits for it (a second at most: the server may be
// stopping); true once a descriptor was freed.
bool CLatestReading::MakeRoom() {
    std::unique_lock<std::mutex> guard(lock_);
    if (!make_room_ || stopping_) return false;
    room_ = Room::Asked;
    make_room_();
    changed_.wait_for(guard, std::chrono::seconds(1), [&] { return room_ != Room::Asked || stopping_; });
    const bool made = room_ == Room::Made;
    room_ = Room::None;
    return made;
}

// A meaningful reading goes to the history, becomes the latest, then goes
// to the listeners: a request answered after the first read finds it in the
// history, and one made after a listener had a reading gets that one or a
// newer. All under listening_, so that a listener added meanwhile is handed
// the latest and then only newer ones. The very first reading is kept even
// when it means nothing, so that there is one.
void CLatestReading::Keep(const Reading& reading, bool completed, bool meaningful) {
    std::lock_guard<std::mutex> listening(listening_);
    LatestRead read = Get();
    read.reads += completed ? 1 : 0;
    if (meaningful || read.number == 0) {
        read.reading = reading;
        ++read.number;
    }
    if (meaningful) history_.OnRead(read);
    {
        std::lock_guard<std::mutex> guard(lock_);
        latest_ = read;
        changed_.notify_all();
    }
    if (!meaningful) return;
    for (CReadListener* listener : listeners_) listener->OnRead(read);
}

void CLatestReading::Run(Options options, const std::atomic<int>* interrupted) {
    CMonitorReader reader(options.unchanged_after);
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.interval));
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        bool completed = false;
        Reading reading = reader.Read(options.timeout, interrupted, &completed);
        // Out of descriptors, which says nothing about the monitor: room is
        // made and the read made again (a few times, as a connection may
        // take the descriptor freed first).
        for (int tries = 0; tries < 4 && completed && reading.status == Reading::Status::Failed &&
                            OutOfDescriptors(reading.error) && MakeRoom();
             ++tries) {
            reading = reader.Read(options.timeout, interrupted, &completed);
        }
        reading.timestamp = Timestamp();
        // A read abandoned for a signal says nothing about the monitor.
        Keep(reading, completed, completed || !*interrupted);
        std::unique_lock<std::mutex> guard(lock_);
        // On a fixed beat; after a long wait for the monitor, from now.
        next = std::max(next + interval, std::chrono::steady_clock::now());
        if (changed_.wait_until(guard, next, [&] { return stopping_; })) return;
    }
}
