// What the reading thread hands on after each read: the reading kept as the
// latest, and to whom (the history, the textfile, the event streams, --mqtt);
// and what the routes read.
#ifndef VANTORIX_SERVE_READLISTENER_H
#define VANTORIX_SERVE_READLISTENER_H

#include <cstdint>
#include <string>

#include "Reading.h"
#include "history/History.h"

// The latest reading, with the count of reads of the monitor that completed
// so far and the reading's number among those kept as the latest (1 for the
// first, one more for each after it).
struct LatestRead {
    Reading reading;
    std::uint64_t reads = 0;
    std::uint64_t number = 0;
};

// Handed each reading kept as the latest, on the reading thread, one at a
// time and in order. It must not wait: the next read waits for it.
class CReadListener {
public:
    virtual ~CReadListener() = default;
    virtual void OnRead(const LatestRead& read) = 0;
};

// What the routes answer from: the latest reading and the history. The
// server's is CLatestReading; a test's may be fixed.
class CReadingSource {
public:
    virtual ~CReadingSource() = default;
    virtual LatestRead Get() const = 0;
    // GET /api/history?`query` (History.h).
    virtual HistoryAnswer History(const std::string& query) const = 0;
};

#endif  // VANTORIX_SERVE_READLISTENER_H
