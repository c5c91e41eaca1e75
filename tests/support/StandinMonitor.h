// Runs the stand-in monitor as a separate process for a test.
#ifndef VANTORIX_TESTS_STANDINMONITOR_H
#define VANTORIX_TESTS_STANDINMONITOR_H

#include <string>
#include <vector>

#include "TestPlatform.h"

class CStandinMonitor {
public:
    // Starts vantorix-standin with `args` and waits until its record can be
    // read (or, with --hold, until it holds the mutex).
    bool Start(const std::vector<std::string>& args);
    void Kill() { process_.Kill(); }
    void Stop() { process_.Stop(); }
    int Wait(int timeout_ms) { return process_.Wait(timeout_ms); }

private:
    TestPlatform::CChildProcess process_;
};

// Runs a program built beside the tests to its end; its exit code, or -1.
int RunTool(const char* name, const std::vector<std::string>& args, int timeout_ms = 60000);

#endif  // VANTORIX_TESTS_STANDINMONITOR_H
