#include "StandinMonitor.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "GetVantorixInfo.h"

bool CStandinMonitor::Start(const std::vector<std::string>& args) {
    if (!process_.Start(TestPlatform::ToolPath("vantorix-standin"), args)) {
        return false;
    }
    const bool holds = std::find(args.begin(), args.end(), "--hold") != args.end();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (holds) {
            if (TestPlatform::MutexHeldElsewhere() &&
                TestPlatform::NamedObjectExists("VantorixMappingObject")) {
                return true;
            }
        } else {
            static vantorix_shared_data scratch;
            vantorix_shared_data* data = &scratch;
            if (fnGetVantorixInfo(data)) {
                return true;
            }
        }
        if (process_.Wait(0) >= 0) {
            return false;  // it exited instead of publishing
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int RunTool(const char* name, const std::vector<std::string>& args, int timeout_ms) {
    TestPlatform::CChildProcess process;
    if (!process.Start(TestPlatform::ToolPath(name), args)) {
        return -1;
    }
    return process.Wait(timeout_ms);
}
