// Runs the stand-in monitor as a separate process for a test.
#ifndef VANTORIX_TESTS_STANDINMONITOR_H
#define VANTORIX_TESTS_STANDINMONITOR_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GetVantorixInfo.h"

#include "TestPlatform.h"

class CStandinMonitor {
public:
    // What Start waits for: a record that can be read, the mutex held by the
    // monitor (--hold), or just the region (a short --size region).
    enum class Ready { Readable, Holding, RegionExists };
    // Starts vantorix-standin with `args` and waits until it is ready.
    bool Start(const std::vector<std::string>& args, Ready ready = Ready::Readable);
    // Dies at once, wherever it is (SIGKILL, TerminateProcess).
    void Kill();
    // Stops cleanly through its stop file: it withdraws the region under the
    // mutex and exits. Kills it if it does not exit in time.
    void Stop();
    int Wait(int timeout_ms) { return process_.Wait(timeout_ms); }
    ~CStandinMonitor() { Kill(); }

private:
    TestPlatform::CChildProcess process_;
    std::string stop_file_;
    std::string output_file_;  // what it prints, shown when it does not come up
};

// Runs proxy->GetData() on a thread of its own, so that a hang fails the test
// instead of stopping the suite: false if it did not return in `timeout_ms`
// (the hung thread is left behind, with the proxy). `*result` is its result
// and `*code` that thread's last-error code after it.
bool GetDataWithin(const std::shared_ptr<VantorixProxy>& proxy, int timeout_ms, bool* result,
                   std::uint32_t* code = nullptr);

// Runs work(0) ... work(count - 1) on threads of their own and waits for them:
// false if one has not finished in `timeout_ms` (it is left behind, so that a
// hang fails the test instead of stopping the suite).
bool RunThreadsWithin(int count, const std::function<void(int)>& work, int timeout_ms);

// Runs a program built beside the tests to its end; its exit code, or -1.
int RunTool(const char* name, const std::vector<std::string>& args, int timeout_ms = 60000);

#endif  // VANTORIX_TESTS_STANDINMONITOR_H
