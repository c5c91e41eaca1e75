// The reading every HTTP client is given: one thread reads the monitor once
// per interval and keeps the result, so the monitor sees the same reads
// however many clients ask, and a slow or frozen monitor never holds up a
// request. Each reading kept is handed to the listeners: the history first,
// then those the server adds (the textfile, the event streams, --mqtt).
#ifndef VANTORIX_SERVE_LATESTREADING_H
#define VANTORIX_SERVE_LATESTREADING_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "KeptHistory.h"
#include "Options.h"
#include "ReadListener.h"

class CLatestReading : public CReadingSource {
public:
    // Takes the history back from its file, starts reading every
    // options.interval seconds and returns after the first read (at most
    // options.timeout). Reads in progress are abandoned once `*interrupted`
    // is set.
    CLatestReading(const Options& options, const std::atomic<int>* interrupted);
    ~CLatestReading() override { Stop(); }

    // Stops the reading thread and saves the history, returning once the
    // file is whole; once.
    void Stop();
    CLatestReading(const CLatestReading&) = delete;
    CLatestReading& operator=(const CLatestReading&) = delete;

    // The latest reading (with its liveness, how long it has been unchanged
    // and the time it was made), the reads so far and its number.
    LatestRead Get() const override;

    // GET /api/history?`query` (History.h), from the readings kept so far.
    HistoryAnswer History(const std::string& query) const override;

    // From now on hands `listener` each reading kept, once it is the latest;
    // the latest one at once. Until Forget(listener), or Stop.
    void Listen(CReadListener* listener);
    // Once it returns, `listener` is handed nothing more.
    void Forget(CReadListener* listener);

    // Called on the reading thread when a read failed for want of
    // descriptors, to make room (a connection closed): it answers with
    // RoomMade, from any thread, and the read is made again.
    void OnOutOfDescriptors(std::function<void()> make_room);
    void RoomMade(bool made);

private:
    void Run(Options options, const std::atomic<int>* interrupted);
    void Keep(const Reading& reading, bool completed, bool meaningful);
    bool MakeRoom();

    CKeptHistory history_;  // the first listener, always there
    // Held while a reading is kept and handed on, and while a listener is
    // added: each gets the readings one at a time, in order, none twice.
    std::mutex listening_;
    std::vector<CReadListener*> listeners_;  // under listening_

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    LatestRead latest_;  // number 0 before the first
    std::function<void()> make_room_;
    enum class Room { None, Asked, Made } room_ = Room::None;
    std::thread thread_;
};

#endif  // VANTORIX_SERVE_LATESTREADING_H
