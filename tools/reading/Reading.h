// One read of the monitor, as the outputs see it, and how the tool reads
// without ever hanging: the library waits for the monitor's mutex without a
// time limit, so reads run on a worker thread and the tool waits for them
// only as long as it chooses.
#ifndef VANTORIX_READING_READING_H
#define VANTORIX_READING_READING_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "GetVantorixInfo.h"
#include "Liveness.h"

struct Reading {
    enum class Status {
        Ok,             // `record` holds what the monitor published
        NotRunning,     // the region does not exist
        Failed,         // another failure: `error` and `message` say which
        NotResponding,  // the read did not finish in time: the mutex stays held
    };
    Status status = Status::NotRunning;
    vantorix_shared_data record = {};
    std::uint32_t error = 0;
    std::string message;  // UTF-8: the library's text for `error`
    // Whether a monitor holds the region (Liveness.h); Stopped also when
    // there is no region at all (NotRunning).
    Liveness liveness = Liveness::Unknown;
    // How long successive reads have returned the very same record, and
    // whether that reached --unchanged-after. Claims nothing about the
    // monitor: an idle machine's record can stay the same.
    double unchanged_seconds = 0;
    bool unchanged = false;
    std::string timestamp;  // ISO 8601 UTC, when the output wants one
};

// ERROR_FILE_NOT_FOUND on Windows and ENOENT on Linux are both 2: the
// monitor's region does not exist.
const std::uint32_t NOT_FOUND = 2;

const char NOT_RESPONDING_TEXT[] = "the monitor is not responding (it holds its mutex)";
const char STOPPED_TEXT[] = "the monitor stopped; its last record is left";

// Notes how long successive reads have returned the very same record.
class CUnchanged {
public:
    // `threshold`: seconds until it counts as unchanged; 0: never.
    explicit CUnchanged(double threshold) : threshold_(threshold) {}
    // Fills `reading`'s unchanged fields from its record.
    void Update(Reading* reading);

private:
    typedef std::chrono::steady_clock Clock;
    const double threshold_;
    bool have_ = false;
    vantorix_shared_data last_ = {};
    Clock::time_point changed_at_;
};

// Reads through a VantorixProxy on a thread of its own, asks whether the
// monitor still runs, and notes how long the record has stayed the same
// (unchanged after `unchanged_after` seconds; 0: never).
class CMonitorReader {
public:
    explicit CMonitorReader(double unchanged_after);
    // An idle worker is ended and waited for, so that the process ends with
    // one thread: Wine kills a process whose threads take long to end, and
    // its exit status is lost. A read still waiting for the mutex is left
    // behind: it ends with the process.
    ~CMonitorReader();
    CMonitorReader(const CMonitorReader&) = delete;
    CMonitorReader& operator=(const CMonitorReader&) = delete;

    // Reads once, waiting at most `timeout` seconds, and less once
    // `*interrupted` is set (then `*completed` is false). A read that is still
    // waiting from an earlier call is waited for instead of starting another.
    // The reading comes with its liveness and how long it has been unchanged.
    Reading Read(double timeout, const std::atomic<int>* interrupted, bool* completed);

    struct State;  // shared with the worker thread

private:
    std::shared_ptr<State> state_;
    CUnchanged unchanged_;
    std::thread worker_;
};

// The current time, "2026-12-08T01:23:45.678Z".
std::string Timestamp();

#endif  // VANTORIX_READING_READING_H
