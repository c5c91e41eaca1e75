#include "StandinMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "GetVantorixInfo.h"
#include "ObjectNames.h"

namespace {

// The longest a start may take before it counts as failed. Under Wine a
// process start is a few round trips to a wineserver that other programs
// keep busy, and on a loaded machine that is seconds: the deadline is there
// to end a start that never comes, not to time one.
const int START_SECONDS = 120;

std::string Output(const std::string& output_file) {
    std::ifstream file(output_file, std::ios::binary);
    std::ostringstream output;
    output << file.rdbuf();
    return output.str();
}

// Says on stderr why the stand-in did not come up, with what it printed.
void ReportFailedStart(const std::string& why, const std::string& output_file) {
    std::fprintf(stderr, "the stand-in monitor did not come up: %s; its output:\n%s\n(end of its output)\n",
                 why.c_str(), Output(output_file).c_str());
}

}  // namespace

bool CStandinMonitor::Start(const std::vector<std::string>& args, Ready ready) {
    static int started = 0;
    stop_file_ = TestPlatform::ProgramDirectory() + "/standin-stop-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                 std::to_string(++started);
    std::remove(stop_file_.c_str());
    output_file_ = stop_file_ + ".out";
    std::vector<std::string> all = args;
    all.push_back("--stop-file");
    all.push_back(stop_file_);
    if (!process_.Start(TestPlatform::ToolPath("vantorix-standin"), all, output_file_)) {
        ReportFailedStart("it could not be started (" + process_.StartFailure() + ")", output_file_);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(START_SECONDS);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready == Ready::Holding) {
            // Its own word, not a held mutex: it holds the mutex while it
            // creates and fills the region, too.
            if (Output(output_file_).find("holding") != std::string::npos) {
                return true;
            }
        } else if (ready == Ready::RegionExists) {
            if (TestPlatform::NamedObjectExists(VANTORIX_MAPPING_NAME) && !TestPlatform::MutexHeldElsewhere()) {
                return true;
            }
        } else {
            static vantorix_shared_data scratch;
            vantorix_shared_data* data = &scratch;
            if (fnGetVantorixInfo(data)) {
                return true;
            }
        }
        const int status = process_.Wait(0);
        if (status >= 0) {
            ReportFailedStart("it exited with status " + std::to_string(status), output_file_);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ReportFailedStart("not ready " + std::to_string(START_SECONDS) + " s after it was started", output_file_);
    return false;
}

void CStandinMonitor::Kill() {
    process_.Kill();
    if (!stop_file_.empty()) std::remove(stop_file_.c_str());
    if (!output_file_.empty()) std::remove(output_file_.c_str());
}

void CStandinMonitor::Stop() {
    if (!process_.Running()) return;
    std::FILE* file = std::fopen(stop_file_.c_str(), "wb");
    if (file != nullptr) std::fclose(file);
    if (process_.Wait(15000) < 0) process_.Kill();
    std::remove(stop_file_.c_str());
    std::remove(output_file_.c_str());
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
