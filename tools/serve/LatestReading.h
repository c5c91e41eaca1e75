// The reading every HTTP client is given: one thread reads the monitor once
// per interval and keeps the result, so the monitor sees the same reads
// however many clients ask, and a slow or frozen monitor never holds up a
// request.
#ifndef VANTORIX_SERVE_LATESTREADING_H
#define VANTORIX_SERVE_LATESTREADING_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "Options.h"
#include "Reading.h"
#include "Textfile.h"
#include "history/History.h"
#include "history/HistoryFile.h"

class CLatestReading {
public:
    // Takes the history back from its file, starts reading every
    // options.interval seconds and returns after the first read (at most
    // options.timeout). Reads in progress are abandoned once `*interrupted`
    // is set.
    CLatestReading(const Options& options, const std::atomic<int>* interrupted);
    ~CLatestReading() { Stop(); }

    // Stops the reading thread and saves the history, returning once the
    // file is whole; once.
    void Stop();
    CLatestReading(const CLatestReading&) = delete;
    CLatestReading& operator=(const CLatestReading&) = delete;

    // The latest reading, with its liveness, how long it has been unchanged and the time it was made; and
    // how many reads of the monitor have completed so far; and, when asked,
    // its number among the readings kept as the latest, in the order made.
    Reading Get(std::uint64_t* reads, std::uint64_t* made = nullptr) const;

    // GET /api/history?`query` (History.h), from the readings kept so far.
    HistoryAnswer History(const std::string& query) const;

    // Called on the reading thread after each read from now on, with the
    // reading and its number (as Get gives it), under the reading's lock
    // (none: empty).
    void OnRead(std::function<void(const Reading& reading, std::uint64_t made)> callback);

    // From now on writes the metrics page to options.textfile after each
    // read, the latest one at once. The server calls it once the address is
    // its own, so that a second server (another user's, at logon) that
    // cannot have the port writes nothing over the first one's file.
    void StartTextfile();

    // From now on hands `listener` each reading after each read, on the
    // reading thread, the latest one at once; once, before Stop.
    void Listen(std::function<void(const Reading& reading)> listener);

    // Called on the reading thread when a read failed for want of
    // descriptors, to make room (a connection closed): it answers with
    // RoomMade, from any thread, and the read is made again.
    void OnOutOfDescriptors(std::function<void()> make_room);
    void RoomMade(bool made);

private:
    void Run(Options options, const std::atomic<int>* interrupted);
    void WriteTextfile();
    bool MakeRoom();

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Reading latest_;
    std::uint64_t reads_ = 0;
    std::uint64_t made_ = 0;  // readings kept, the latest one's number; 0 before the first
    std::function<void(const Reading&, std::uint64_t)> on_read_;
    std::function<void()> make_room_;
    enum class Room { None, Asked, Made } room_ = Room::None;
    CHistory history_;  // locks itself
    CHistoryFile file_;  // saved to at each closed minute, and at the end
    std::mutex textfile_lock_;  // one write at a time, each of the latest reading
    std::atomic<bool> textfile_started_{false};
    std::function<void(const Reading&)> listener_;  // under textfile_lock_, as the textfile
    CTextfile textfile_;
    std::thread thread_;
};

#endif  // VANTORIX_SERVE_LATESTREADING_H
