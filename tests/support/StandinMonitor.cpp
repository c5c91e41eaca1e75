#include "StandinMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "GetVantorixInfo.h"

bool CStandinMonitor::Start(const std::vector<std::string>& args, Ready ready) {
    static int started = 0;
    stop_file_ = TestPlatform::ProgramDirectory() + "/standin-stop-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                 std::to_string(++started);
    std::remove(stop_file_.c_str());
    std::vector<std::string> all = args;
    all.push_back("--stop-file");
    all.push_back(stop_file_);
    if (!process_.Start(TestPlatform::ToolPath("vantorix-standin"), all)) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const bool exists = TestPlatform::NamedObjectExists("VantorixMappingObject");
        if (ready == Ready::Holding) {
            if (exists && TestPlatform::MutexHeldElsewhere()) {
                return true;
            }
        } else if (ready == Ready::RegionExists) {
            if (exists && !TestPlatform::MutexHeldElsewhere()) {
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

void CStandinMonitor::Kill() {
    process_.Kill();
    if (!stop_file_.empty()) std::remove(stop_file_.c_str());
}

void CStandinMonitor::Stop() {
    if (!process_.Running()) return;
    std::FILE* file = std::fopen(stop_file_.c_str(), "wb");
    if (file != nullptr) std::fclose(file);
    if (process_.Wait(15000) < 0) process_.Kill();
    std::remove(stop_file_.c_str());
}

int RunTool(const char* name, const std::vector<std::string>& args, int timeout_ms) {
    TestPlatform::CChildProcess process;
    if (!process.Start(TestPlatform::ToolPath(name), args)) {
        return -1;
    }
    return process.Wait(timeout_ms);
}

bool GetDataWithin(const std::shared_ptr<VantorixProxy>& proxy, int timeout_ms, bool* result,
                   std::uint32_t* code) {
    auto done = std::make_shared<std::atomic<int>>(-1);
    auto error = std::make_shared<std::atomic<std::uint32_t>>(0);
    std::thread([proxy, done, error] {
        const bool ok = proxy->GetData();
        *error = proxy->GetDllError();
        *done = ok ? 1 : 0;
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (*done < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    *result = *done == 1;
    if (code != nullptr) *code = *error;
    return *done >= 0;
}

bool RunThreadsWithin(int count, const std::function<void(int)>& work, int timeout_ms) {
    auto finished = std::make_shared<std::atomic<int>>(0);
    auto task = std::make_shared<std::function<void(int)>>(work);
    for (int i = 0; i < count; ++i) {
        std::thread([task, finished, i] {
            (*task)(i);
            ++*finished;
        }).detach();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (*finished < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return *finished == count;
}
