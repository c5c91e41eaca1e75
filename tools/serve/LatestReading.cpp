#include "LatestReading.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Outputs.h"
#include "http/System.h"

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Where the history is kept, once what it holds is taken back into `history`.
std::string Restored(CHistory* history, const Options& options) {
    const std::string path = options.history_file_given ? options.history_file : DefaultHistoryPath();
    std::string why;
    if (!path.empty() && !RestoreHistory(history, path, NowMs(), &why) && !why.empty()) {
        std::fprintf(stderr, "vantorix-info: warning: the history in %s is not used: %s\n", path.c_str(), why.c_str());
    }
    return path;
}

}  // namespace

CLatestReading::CLatestReading(const Options& options, const std::atomic<int>* interrupted)
    : history_(options.interval),
      file_(Restored(&history_, options)),
      textfile_(options.textfile),
      thread_(&CLatestReading::Run, this, options, interrupted) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return made_ > 0; });
}

void CLatestReading::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    file_.Save(history_.Saved());
    file_.Finish();
}

Reading CLatestReading::Get(std::uint64_t* reads, std::uint64_t* made) const {
    std::lock_guard<std::mutex> guard(lock_);
    *reads = reads_;
    if (made) *made = made_;
    return latest_;
}

void CLatestReading::OnRead(std::function<void(const Reading&, std::uint64_t)> callback) {
    std::lock_guard<std::mutex> guard(lock_);
    on_read_ = std::move(callback);
}

void CLatestReading::StartTextfile() {
    {
        std::lock_guard<std::mutex> writing(textfile_lock_);
        textfile_started_ = true;
    }
    WriteTextfile();
}

void CLatestReading::Listen(std::function<void(const Reading&)> listener) {
    std::lock_guard<std::mutex> writing(textfile_lock_);
    listener_ = std::move(listener);
    Reading reading;
    {
        std::lock_guard<std::mutex> guard(lock_);
        reading = latest_;
    }
    listener_(reading);
}

// The latest reading, taken under the write's own lock: of two writes, the
// later one writes the newer page (and the listener is handed the newer
// reading).
void CLatestReading::WriteTextfile() {
    std::lock_guard<std::mutex> writing(textfile_lock_);
    if (!textfile_started_ && !listener_) return;
    Reading reading;
    {
        std::lock_guard<std::mutex> guard(lock_);
        reading = latest_;
    }
    if (textfile_started_) textfile_.Write(RenderPrometheus(reading));
    if (listener_) listener_(reading);
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

HistoryAnswer CLatestReading::History(const std::string& query) const {
    return AnswerHistory(history_, query, NowMs());
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
        const bool meaningful = completed || !*interrupted;
        // Once a minute the history is saved, by a thread of the file's.
        if (meaningful && history_.Add(reading, NowMs())) file_.Save(history_.Saved());
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (meaningful || made_ == 0) latest_ = reading, ++made_;
            reads_ += completed ? 1 : 0;
            changed_.notify_all();
            if (on_read_) on_read_(latest_, made_);
        }
        if (meaningful) WriteTextfile();
        std::unique_lock<std::mutex> guard(lock_);
        // On a fixed beat; after a long wait for the monitor, from now.
        next = std::max(next + interval, std::chrono::steady_clock::now());
        if (changed_.wait_until(guard, next, [&] { return stopping_; })) return;
    }
}
