#include "PublishLoop.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "BoundedFile.h"

namespace {

typedef std::chrono::steady_clock Clock;

// How often the stop file is looked for: tests wait on it.
const std::chrono::milliseconds STOP_CHECK(10);

// By its UTF-8 path on Windows too; a file too large to read, or anything
// else in its place, is there all the same.
bool FileExists(const std::string& path) {
    FileRules rules;
    rules.limit = 4096;
    std::string bytes, why;
    return ReadBoundedFile(path, "the stop file", rules, &bytes, &why) || !why.empty();
}

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool StartPublishing(const char* program, CPublisher* publisher, std::size_t size,
                     const vantorix_shared_data& first) {
    std::uint32_t error = 0;
    if (publisher->Create(size, &first, &error)) return true;
    std::fprintf(stderr, "%s: cannot create the shared objects: %s (error %lu)\n", program,
                 CreateErrorText(error).c_str(), static_cast<unsigned long>(error));
    return false;
}

void RunPublishLoop(CPublisher* publisher, const LoopOptions& options, const NextRecord& next) {
    const Clock::time_point start = Clock::now();
    const bool republish = next && options.rate >= 0;
    const Clock::duration interval = options.rate > 0 ? Seconds(1.0 / options.rate) : Clock::duration::zero();
    const Clock::time_point end = options.seconds >= 0 ? start + Seconds(options.seconds) : Clock::time_point::max();
    Clock::time_point next_publish = start + interval;
    Clock::time_point next_check = start;
    vantorix_shared_data record;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end) return;
        if (now >= next_check) {
            // Also when republishing flat out, where nothing waits for a signal.
            if ((!options.stop_file.empty() && FileExists(options.stop_file)) ||
                WaitForStop(Clock::duration::zero())) {
                return;
            }
            next_check = now + STOP_CHECK;
        }
        if (republish && now >= next_publish) {
            next(&record);
            publisher->Publish(record);
            next_publish = std::max(next_publish + interval, now);
            continue;
        }
        // Nothing to do until the next republish, stop-file check or the end.
        Clock::time_point wake = end;
        if (republish) wake = std::min(wake, next_publish);
        if (!options.stop_file.empty()) wake = std::min(wake, next_check);
        if (WaitForStop(wake == Clock::time_point::max() ? Clock::duration::max() : wake - now)) return;
    }
}

bool StartLiveSource(const char* program, CLiveSource* live, vantorix_shared_data* first) {
    if (!live->Available()) {
        std::fprintf(stderr, "%s: this machine's readings need Linux's /proc/stat\n", program);
        return false;
    }
    std::string missing;
    for (const std::string& reading : live->Missing()) {
        missing += (missing.empty() ? "" : ", ") + reading;
    }
    if (!missing.empty()) {
        std::fprintf(stderr, "%s: not found on this machine, published as 0: %s\n", program, missing.c_str());
    }
    live->Sample(first);
    return true;
}
