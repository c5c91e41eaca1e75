// The readings over time that --serve keeps, so that a page shows them at
// once and still has them after a reload: every read of the last hour, and
// each minute's minimum, mean and maximum for the last 24 hours. Per core
// the temperature and load, and the processor clock. A reading the monitor
// did not report (Outputs.h), and one that is not finite, is kept as
// missing: it is left out of the minute's figures and served as null.
//
// The figures are reserved at construction for 256 cores and stored core by
// core, so that only the cores a record has are ever touched (resident).
// Each kept read and each closed minute is also turned into its JSON text
// once, by the reading thread, outside the lock: a request only collects the
// texts it needs, shared rather than copied (SharedText.h), so that it costs
// the serving thread microseconds and holds the lock no longer.
#ifndef VANTORIX_SERVE_HISTORY_HISTORY_H
#define VANTORIX_SERVE_HISTORY_HISTORY_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Reading.h"
#include "SharedText.h"

// An answer to GET /api/history: its status, and its JSON, which is `body`
// followed by `pieces`.
struct HistoryAnswer {
    int status = 200;
    std::string body;
    TextPieces pieces;
};

// The whole JSON of an answer, in one string.
std::string Joined(const HistoryAnswer& answer);

class CHistory {
public:
    static constexpr int RAW_SAMPLES = 3600;  // one hour at one read per second
    static constexpr int MINUTES = 24 * 60;
    static const int CORES = 256;
    static const long MAX_SECONDS = 24L * 3600;

    // `interval`: seconds between reads. Reads closer than a second apart are
    // thinned in the raw history to about one per second, so that it still
    // covers the hour; the minutes take every read.
    explicit CHistory(double interval);
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    // One read, made at `time_ms` (milliseconds since 1970, UTC). A failed
    // read is a sample with no readings. Returns true when it closed a
    // minute. Only one thread adds.
    bool Add(const Reading& reading, std::int64_t time_ms);

    // The last `seconds` (docs/serving.md: "/api/history"): up to an hour the reads
    // themselves, beyond it the minutes; only samples later than `since_ms`.
    HistoryAnswer Answer(long seconds, std::int64_t since_ms, std::int64_t now_ms) const;
    std::string RenderJson(long seconds, std::int64_t since_ms, std::int64_t now_ms) const {
        return Joined(Answer(seconds, since_ms, now_ms));
    }

    // The history as the bytes of its file (HistoryFormat.h; docs/serving.md: "The
    // history file"). Made by the thread that adds, or while none does.
    std::string FileBytes() const;
    // Takes the history back from a file's bytes, before the first Add. A
    // file that fails any check changes nothing: false, with why in `why`.
    bool Restore(const std::string& bytes, std::int64_t now_ms, std::string* why);

    // One reading's figures over a minute; missing values are left out.
    struct Accumulator {
        double sum = 0;
        long count = 0;
        float min = 0;
        float max = 0;
        void Add(float value);
    };

private:
    std::shared_ptr<const std::string> RawText(int row, std::int64_t time_ms) const;
    std::shared_ptr<const std::string> MinuteText(int row, std::int64_t start) const;
    std::shared_ptr<const std::string> OpenMinuteText(std::int64_t start) const;
    std::shared_ptr<const std::string> CloseMinute();

    const int keep_every_;  // raw: keep every n-th read
    long reads_ = 0;

    // Requests read the rows' times and texts, the rings' extents and the
    // minute in progress's text, under lock_; the thread that adds writes
    // them under lock_ and reads them freely. Everything else is its own.
    mutable std::mutex lock_;

    // The raw ring: time, text (",{...}"), core count, clock, and per core
    // temperature and load.
    std::unique_ptr<std::int64_t[]> raw_time_;
    std::unique_ptr<std::shared_ptr<const std::string>[]> raw_text_;
    std::unique_ptr<std::int16_t[]> raw_cores_;
    std::unique_ptr<float[]> raw_clock_;
    std::unique_ptr<float[]> raw_temp_;  // [core * RAW_SAMPLES + row]
    std::unique_ptr<float[]> raw_load_;
    int raw_next_ = 0;
    int raw_count_ = 0;

    // The minutes' ring, each row a closed minute: its start, its text, its
    // core count, and minimum, mean and maximum (three columns) of each
    // reading.
    std::unique_ptr<std::int64_t[]> minute_time_;
    std::unique_ptr<std::shared_ptr<const std::string>[]> minute_text_;
    std::unique_ptr<std::int16_t[]> minute_cores_;
    std::unique_ptr<float[]> minute_clock_;  // [3 * row + k]
    std::unique_ptr<float[]> minute_temp_;   // [(core * MINUTES + row) * 3 + k]
    std::unique_ptr<float[]> minute_load_;
    int minute_next_ = 0;
    int minute_count_ = 0;

    // The minute in progress.
    std::int64_t open_minute_ = -1;  // its start in ms; -1: none yet
    std::shared_ptr<const std::string> open_text_;
    int open_cores_ = 0;
    Accumulator open_clock_;
    std::unique_ptr<Accumulator[]> open_temp_;
    std::unique_ptr<Accumulator[]> open_load_;
};

// Takes the history back from the file at `path` (HistoryFile.h) before the
// first Add: false, with why in `why` ("" when there is no file), when the
// file is not used.
bool RestoreHistory(CHistory* history, const std::string& path, std::int64_t now_ms, std::string* why);

// An answer to GET /api/history?QUERY, independent of the HTTP server:
// `seconds=N` (1 to 86400) and optionally `since=MS`, both whole decimal
// numbers, each at most once; anything else is status 400.
HistoryAnswer AnswerHistory(const CHistory& history, const std::string& query, std::int64_t now_ms);

#endif  // VANTORIX_SERVE_HISTORY_HISTORY_H
