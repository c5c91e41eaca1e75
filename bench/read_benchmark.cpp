// What a read costs, against the platform calls it cannot avoid. Linux only:
// it runs the stand-in monitor as a separate process and calls the platform
// directly for the floor. Run: scripts/bench.sh (see docs/performance.md).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../src/platform/Platform.h"
#include "GetVantorixInfo.h"
#include "ObjectNames.h"
#include "Publisher.h"

namespace {

typedef std::chrono::steady_clock Clock;
const std::size_t RECORD_SIZE = sizeof(vantorix_shared_data);

// The stand-in monitor as a separate process, restarted only when the
// wanted arguments change.
class CMonitorProcess {
public:
    ~CMonitorProcess() { Stop(); }
    void Run(const std::vector<std::string>& args) {
        if (pid_ > 0 && args == args_) return;
        Stop();
        args_ = args;
        std::vector<char*> argv;
        const std::string program = g_directory + "/vantorix-standin";
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args_) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        VantorixProxy proxy;
        while (!proxy.GetData()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        args_.clear();
    }
    static std::string g_directory;

private:
    pid_t pid_ = -1;
    std::vector<std::string> args_;
};
std::string CMonitorProcess::g_directory;
CMonitorProcess g_monitor;

// Per-call latencies of one benchmark thread, reported as percentiles.
class CLatencies {
public:
    void Add(Clock::duration took) { samples_.push_back(std::chrono::duration<double, std::micro>(took).count()); }
    void Report(benchmark::State& state) {
        if (samples_.empty()) return;
        std::sort(samples_.begin(), samples_.end());
        const auto at = [this](double share) { return samples_[static_cast<std::size_t>(share * (samples_.size() - 1))]; };
        state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
        state.counters["max_us"] = benchmark::Counter(samples_.back(), benchmark::Counter::kAvgThreads);
    }

private:
    std::vector<double> samples_;
};

template <typename Read>
void TimeReads(benchmark::State& state, Read read) {
    CLatencies latencies;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const bool ok = read();
        latencies.Add(Clock::now() - start);
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
    latencies.Report(state);
}

// ---- a whole read ------------------------------------------------------------

void BM_GetData(benchmark::State& state) {
    if (state.thread_index() == 0) g_monitor.Run({});
    VantorixProxy proxy;
    TimeReads(state, [&] { return proxy.GetData(); });
}
BENCHMARK(BM_GetData)->UseRealTime();

void BM_FnGetVantorixInfo(benchmark::State& state) {
    g_monitor.Run({});
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    TimeReads(state, [&] { return fnGetVantorixInfo(data); });
}
BENCHMARK(BM_FnGetVantorixInfo)->UseRealTime();

void BM_GetData_NoMonitor(benchmark::State& state) {
    g_monitor.Stop();
    VantorixProxy proxy;
    TimeReads(state, [&] { return proxy.GetData(); });
}
BENCHMARK(BM_GetData_NoMonitor)->UseRealTime();

// The floor: the platform calls a request cannot avoid, in the same order on
// the same objects, with a plain copy and no checks.
bool FloorRead(const std::string& mutex_path, const std::string& region_path, void* dest) {
    const int mutex = open(mutex_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (mutex < 0) return false;
    flock(mutex, LOCK_EX);
    const int region = open(region_path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = false;
    if (region >= 0) {
        ok = pread(region, dest, RECORD_SIZE, 0) == static_cast<ssize_t>(RECORD_SIZE);
        close(region);
    }
    flock(mutex, LOCK_UN);
    close(mutex);
    return ok;
}

void BM_Floor(benchmark::State& state) {
    g_monitor.Run({});
    const std::string mutex_path = NamedObjectPath(VANTORIX_MUTEX_NAME);
    const std::string region_path = NamedObjectPath(VANTORIX_MAPPING_NAME);
    static vantorix_shared_data block;
    TimeReads(state, [&] { return FloorRead(mutex_path, region_path, &block); });
}
BENCHMARK(BM_Floor)->UseRealTime();

// The floor plus what the per-user namespace needs: the user's id for the
// names and an ownership check of each object (fstat).
bool FloorReadWithChecks(void* dest) {
    char mutex_path[64], region_path[64];
    const unsigned long uid = geteuid();
    std::snprintf(mutex_path, sizeof(mutex_path), "/dev/shm/" VANTORIX_MUTEX_NAME ".%lu", uid);
    const int mutex = open(mutex_path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (mutex < 0) return false;
    struct stat info;
    fstat(mutex, &info);
    flock(mutex, LOCK_EX);
    std::snprintf(region_path, sizeof(region_path), "/dev/shm/" VANTORIX_MAPPING_NAME ".%lu",
                  static_cast<unsigned long>(geteuid()));
    const int region = open(region_path, O_RDONLY | O_CLOEXEC);
    bool ok = false;
    if (region >= 0) {
        fstat(region, &info);
        ok = pread(region, dest, RECORD_SIZE, 0) == static_cast<ssize_t>(RECORD_SIZE);
        close(region);
    }
    flock(mutex, LOCK_UN);
    close(mutex);
    return ok;
}

void BM_FloorWithChecks(benchmark::State& state) {
    g_monitor.Run({});
    static vantorix_shared_data block;
    TimeReads(state, [&] { return FloorReadWithChecks(&block); });
}
BENCHMARK(BM_FloorWithChecks)->UseRealTime();

// ---- the copy alone ------------------------------------------------------------

void BM_Copy_Memcpy(benchmark::State& state) {
    static unsigned char source[RECORD_SIZE], dest[RECORD_SIZE];
    unsigned char* from = source;
    unsigned char* to = dest;
    for (auto _ : state) {
        benchmark::DoNotOptimize(from);
        benchmark::DoNotOptimize(to);
        std::memcpy(to, from, RECORD_SIZE);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * RECORD_SIZE);
}
BENCHMARK(BM_Copy_Memcpy);

// The library's guarded copy from the region's descriptor.
void BM_Copy_Guarded(benchmark::State& state) {
    g_monitor.Run({});
    const int region = open(NamedObjectPath(VANTORIX_MAPPING_NAME).c_str(), O_RDONLY | O_CLOEXEC);
    static vantorix_shared_data dest;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::GuardedCopy(&dest, static_cast<Platform::View>(region), RECORD_SIZE));
        benchmark::ClobberMemory();
    }
    close(region);
    state.SetBytesProcessed(state.iterations() * RECORD_SIZE);
}
BENCHMARK(BM_Copy_Guarded);

// The same copy unguarded: a bare pread.
void BM_Copy_Pread(benchmark::State& state) {
    g_monitor.Run({});
    const int region = open(NamedObjectPath(VANTORIX_MAPPING_NAME).c_str(), O_RDONLY | O_CLOEXEC);
    static vantorix_shared_data dest;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pread(region, &dest, RECORD_SIZE, 0));
        benchmark::ClobberMemory();
    }
    close(region);
    state.SetBytesProcessed(state.iterations() * RECORD_SIZE);
}
BENCHMARK(BM_Copy_Pread);

// What the copy would cost as a fresh read-only mapping and a memcpy, the
// other way to copy with nothing kept between requests.
void BM_Copy_MapAndMemcpy(benchmark::State& state) {
    g_monitor.Run({});
    const int region = open(NamedObjectPath(VANTORIX_MAPPING_NAME).c_str(), O_RDONLY | O_CLOEXEC);
    static vantorix_shared_data dest;
    for (auto _ : state) {
        void* view = mmap(nullptr, RECORD_SIZE, PROT_READ, MAP_SHARED, region, 0);
        std::memcpy(&dest, view, RECORD_SIZE);
        munmap(view, RECORD_SIZE);
        benchmark::ClobberMemory();
    }
    close(region);
    state.SetBytesProcessed(state.iterations() * RECORD_SIZE);
}
BENCHMARK(BM_Copy_MapAndMemcpy);

// ---- contention --------------------------------------------------------------

void ReadersUnderMonitor(benchmark::State& state, const std::vector<std::string>& monitor) {
    if (state.thread_index() == 0) g_monitor.Run(monitor);
    VantorixProxy proxy;
    TimeReads(state, [&] { return proxy.GetData(); });
}

void BM_Readers_Monitor1kHz(benchmark::State& state) { ReadersUnderMonitor(state, {"--rate", "1000"}); }
BENCHMARK(BM_Readers_Monitor1kHz)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

void BM_Readers_MonitorFlatOut(benchmark::State& state) { ReadersUnderMonitor(state, {"--rate", "0"}); }
BENCHMARK(BM_Readers_MonitorFlatOut)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

// The monitor's side: how long a publish (lock, write, unlock) takes while
// range(0) reader threads hammer the lock.
void BM_PublishUnderReaders(benchmark::State& state) {
    g_monitor.Stop();
    RemoveNamedObjects();
    vantorix_shared_data record = {};
    CPublisher publisher;
    std::uint32_t error = 0;
    if (!publisher.Create(RECORD_SIZE, &record, &error)) {
        state.SkipWithError("cannot create the objects");
        return;
    }
    std::atomic<bool> stop(false);
    std::vector<std::thread> readers;
    for (int i = 0; i < state.range(0); ++i) {
        readers.emplace_back([&stop] {
            VantorixProxy proxy;
            while (!stop) proxy.GetData();
        });
    }
    CLatencies latencies;
    for (auto _ : state) {
        ++record.core_total;
        const Clock::time_point start = Clock::now();
        publisher.Publish(record);
        latencies.Add(Clock::now() - start);
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    latencies.Report(state);
    publisher.Remove();
}
BENCHMARK(BM_PublishUnderReaders)->Arg(0)->Arg(1)->Arg(8)->UseRealTime();

// ---- memory --------------------------------------------------------------------

// Resident kilobytes of the library's own mappings in this process.
double LibraryResidentKiB() {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool ours = false;
    double kib = 0;
    while (std::getline(smaps, line)) {
        if (line.find('-') != std::string::npos && line.find(' ') != std::string::npos && line[0] != ' ' &&
            std::isxdigit(static_cast<unsigned char>(line[0]))) {
            ours = line.find("libGetVantorixInfo.so") != std::string::npos;
        } else if (ours && line.compare(0, 4, "Rss:") == 0) {
            kib += std::atof(line.c_str() + 4);
        }
    }
    return kib;
}

void BM_Memory(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(LibraryResidentKiB());
    }
    state.counters["library_resident_KiB"] = LibraryResidentKiB();
    state.counters["proxy_bytes"] = sizeof(VantorixProxy);
    state.counters["record_bytes"] = sizeof(vantorix_shared_data);
}
BENCHMARK(BM_Memory)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    CMonitorProcess::g_directory = self.substr(0, self.rfind('/'));
    RemoveNamedObjects();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_monitor.Stop();
    RemoveNamedObjects();
    return 0;
}
