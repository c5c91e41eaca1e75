#include "Reading.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

#include "Text.h"

void CUnchanged::Update(Reading* reading) {
    if (reading->status != Reading::Status::Ok) return;
    const Clock::time_point now = Clock::now();
    if (!have_ || std::memcmp(&last_, &reading->record, sizeof(last_)) != 0) {
        last_ = reading->record;
        have_ = true;
        changed_at_ = now;
    }
    reading->unchanged_seconds = std::chrono::duration<double>(now - changed_at_).count();
    reading->unchanged = threshold_ > 0 && reading->unchanged_seconds >= threshold_;
}

// Shared with the worker, which may outlive the reader while it waits.
struct CMonitorReader::State {
    std::mutex lock;
    std::condition_variable changed;
    bool requested = false;
    bool done = false;
    bool quit = false;
    Reading result;
};

namespace {

void Work(std::shared_ptr<CMonitorReader::State> state) {
    VantorixProxy proxy;
    std::unique_lock<std::mutex> guard(state->lock);
    for (;;) {
        state->changed.wait(guard, [&] { return state->requested || state->quit; });
        if (state->quit) return;
        guard.unlock();
        Reading reading;
        if (proxy.GetData()) {
            reading.status = Reading::Status::Ok;
            reading.record = *proxy.GetDataStruct();
        } else {
            // The code is this thread's: read it here, before the text.
            reading.error = proxy.GetDllError();
            reading.message = Utf8(proxy.GetErrorMessage());
            reading.status = reading.error == NOT_FOUND ? Reading::Status::NotRunning : Reading::Status::Failed;
        }
        guard.lock();
        state->result = reading;
        state->requested = false;
        state->done = true;
        state->changed.notify_all();
    }
}

}  // namespace

CMonitorReader::CMonitorReader(double unchanged_after)
    : state_(std::make_shared<State>()), unchanged_(unchanged_after) {
#if defined(_WIN32)
    worker_ = std::thread(Work, state_);
#else
    // The worker starts with SIGINT, SIGTERM and SIGHUP blocked, so that they
    // reach a thread that notices them: one waiting in the library may never
    // return to run a handler (sanitizer runtimes run handlers only at such
    // returns).
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    worker_ = std::thread(Work, state_);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
}

CMonitorReader::~CMonitorReader() {
    bool idle = false;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        idle = !state_->requested;  // not in a read, nor about to start one
        state_->quit = true;
        state_->changed.notify_all();
    }
    if (idle) {
        worker_.join();
    } else {
        worker_.detach();
    }
}

Reading CMonitorReader::Read(double timeout, const std::atomic<int>* interrupted, bool* completed) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout));
    std::unique_lock<std::mutex> guard(state_->lock);
    if (!state_->requested && !state_->done) {
        state_->requested = true;
        state_->changed.notify_all();
    }
    // Short waits, so that a signal is noticed promptly.
    while (!state_->done && !*interrupted && std::chrono::steady_clock::now() < deadline) {
        state_->changed.wait_for(guard, std::chrono::milliseconds(20));
    }
    *completed = state_->done;
    Reading reading;
    if (state_->done) {
        state_->done = false;
        reading = state_->result;
    } else {
        reading.status = Reading::Status::NotResponding;
        reading.message = NOT_RESPONDING_TEXT;
    }
    guard.unlock();
    // After the read, so that a monitor that died since is seen as stopped.
    reading.liveness = reading.status == Reading::Status::NotRunning ? Liveness::Stopped : ProbeMonitor();
    unchanged_.Update(&reading);
    return reading;
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc = {};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];  // room for any int the compiler can imagine
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}
