// What every program that plays the monitor does, written once for
// vantorix-publisher and vantorix-standin: create the objects with the first
// record, republish at a rate until stopped, withdraw the region.
#ifndef VANTORIX_PUBLISHER_PUBLISHLOOP_H
#define VANTORIX_PUBLISHER_PUBLISHLOOP_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "GetVantorixInfo.h"
#include "LiveSource.h"
#include "Publisher.h"

struct LoopOptions {
    double rate = -1;       // republishes a second; 0 flat out; negative: none, only wait
    double seconds = -1;    // stop after this long; negative: only when told
    std::string stop_file;  // stop once this file exists; empty: no such check
};

// Fills the next record to publish.
typedef std::function<void(vantorix_shared_data*)> NextRecord;

// From here on SIGINT and SIGTERM (Ctrl-C and close on Windows) end the
// loop at its next turn instead of the program. Call it before starting
// any thread.
void CatchStopSignals();

// Waits up to `timeout` for a stop signal; true when one came (now or
// before). A timeout of Clock::duration::max() waits for the signal alone.
bool WaitForStop(std::chrono::steady_clock::duration timeout);

// Creates the objects with `first` in a region of `size` bytes; on failure
// says why on stderr, prefixed with `program`, and returns false.
bool StartPublishing(const char* program, CPublisher* publisher, std::size_t size,
                     const vantorix_shared_data& first);

// Republishes what `next` fills at `options.rate` until a stop signal, the
// stop file or the time limit (without `next`, only waits for those). A
// republish that falls behind (a suspended machine) is not caught up.
void RunPublishLoop(CPublisher* publisher, const LoopOptions& options, const NextRecord& next);

// Checks that `live` can read this machine, fills the first record, and says
// on stderr which readings the machine lacks (published as 0). False, with a
// message, when there is no /proc/stat to read.
bool StartLiveSource(const char* program, CLiveSource* live, vantorix_shared_data* first);

#endif  // VANTORIX_PUBLISHER_PUBLISHLOOP_H
