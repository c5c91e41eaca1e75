// What a read costs on Windows, against the Win32 calls it cannot avoid, and
// what the guarded copy costs against memcpy. Google Benchmark is not
// packaged for MinGW, so this is a small timing loop of its own: each sample
// times `batch` calls with QueryPerformanceCounter and keeps the time per
// call; mean, median and 99th percentile are over the samples.
// Run: scripts/bench.sh --wine (see docs/performance.md).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../src/platform/Platform.h"
#include "GetVantorixInfo.h"
#include "ObjectNames.h"
#include "StandinMonitor.h"

namespace {

const std::size_t RECORD_SIZE = sizeof(vantorix_shared_data);

// Keeps the compiler from dropping or merging a copy whose result is unused.
inline void Escape(const void* pointer) {
    __asm__ __volatile__("" : : "r"(pointer) : "memory");
}

struct Figures {
    double mean, median, p99;  // nanoseconds per call
};

// One operation to time: runs itself `batch` times.
struct Operation {
    const char* name;
    std::function<void(int batch)> run;
};

// Times the operations in turn, one sample of each per round, so that a
// burst of load on the machine falls on all of them alike.
std::vector<Figures> Time(int samples, int batch, const std::vector<Operation>& operations) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (const Operation& operation : operations) operation.run(batch * 10 + 100);  // warm up
    std::vector<std::vector<double>> times(operations.size(), std::vector<double>(static_cast<std::size_t>(samples)));
    for (int sample = 0; sample < samples; ++sample) {
        for (std::size_t i = 0; i < operations.size(); ++i) {
            QueryPerformanceCounter(&start);
            operations[i].run(batch);
            QueryPerformanceCounter(&end);
            times[i][sample] = static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 /
                               static_cast<double>(frequency.QuadPart) / batch;
        }
    }
    std::vector<Figures> figures;
    for (std::vector<double>& each : times) {
        double sum = 0;
        for (double time : each) sum += time;
        std::sort(each.begin(), each.end());
        const auto at = [&each](double share) { return each[static_cast<std::size_t>(share * (each.size() - 1))]; };
        figures.push_back(Figures{sum / static_cast<double>(each.size()), at(0.50), at(0.99)});
    }
    return figures;
}

// Prints a table of the operations, each against the first one's median.
void Report(const char* title, int samples, int batch, const std::vector<Operation>& operations) {
    const std::vector<Figures> figures = Time(samples, batch, operations);
    const bool micro = figures[0].median >= 1000;
    const double unit = micro ? 1000 : 1;
    std::printf("\n| %s (%d samples of %d) | mean | median | p99 | median to row 1 |\n|---|---|---|---|---|\n", title,
                samples, batch);
    for (std::size_t i = 0; i < operations.size(); ++i) {
        std::printf("| %-40s | %9.2f %s | %9.2f %s | %9.2f %s | %6.2f |\n", operations[i].name, figures[i].mean / unit,
                    micro ? "us" : "ns", figures[i].median / unit, micro ? "us" : "ns", figures[i].p99 / unit,
                    micro ? "us" : "ns", figures[i].median / figures[0].median);
    }
}

// The floor: the Win32 calls a read cannot avoid, in the same order on the
// same objects, with a plain copy and no guard.
bool FloorRead(void* dest) {
    HANDLE mutex = CreateMutexW(NULL, FALSE, L"" VANTORIX_MUTEX_NAME);
    if (mutex == NULL) return false;
    WaitForSingleObject(mutex, INFINITE);
    bool ok = false;
    HANDLE region = OpenFileMappingW(FILE_MAP_READ, FALSE, L"" VANTORIX_MAPPING_NAME);
    if (region != NULL) {
        void* view = MapViewOfFile(region, FILE_MAP_READ, 0, 0, 0);
        if (view != NULL) {
            std::memcpy(dest, view, RECORD_SIZE);
            ok = true;
            UnmapViewOfFile(view);
        }
        CloseHandle(region);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return ok;
}

LONG CALLBACK NoHandler(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::atoi(argv[1]) : 20000;  // samples of one read
    const int copies = argc > 2 ? std::atoi(argv[2]) : 2000;  // samples of 1000 copies
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    typedef const char*(CDECL * WineVersion)();
    const WineVersion wine_version =
        ntdll != NULL ? reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
                      : nullptr;
    std::printf("=== Windows %d-bit, %s; %d reads, %d x 1000 copies per figure\n", static_cast<int>(sizeof(void*) * 8),
                wine_version != nullptr ? (std::string("under Wine ") + wine_version()).c_str() : "not under Wine",
                reads, copies);

    CStandinMonitor monitor;
    if (!monitor.Start({})) {
        std::fprintf(stderr, "win-timing: the stand-in monitor did not start\n");
        return 1;
    }
    static vantorix_shared_data block;
    static vantorix_shared_data* data = &block;
    static VantorixProxy proxy;
    Report("a read", reads, 1, {
        {"floor: the same Win32 calls, memcpy", [](int n) { for (int i = 0; i < n; ++i) FloorRead(&block); }},
        {"GetData, monitor publishing", [](int n) { for (int i = 0; i < n; ++i) proxy.GetData(); }},
        {"fnGetVantorixInfo", [](int n) { for (int i = 0; i < n; ++i) fnGetVantorixInfo(data); }},
    });

    // The copy alone, from a view of the monitor's region.
    HANDLE region = OpenFileMappingW(FILE_MAP_READ, FALSE, L"" VANTORIX_MAPPING_NAME);
    static const void* view = region != NULL ? MapViewOfFile(region, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (view == nullptr) {
        std::fprintf(stderr, "win-timing: cannot map the region (error %lu)\n", GetLastError());
        return 1;
    }
    Report("a copy of 2688 bytes from the view", copies, 1000, {
        {"memcpy", [](int n) {
             for (int i = 0; i < n; ++i) {
                 std::memcpy(&block, view, RECORD_SIZE);
                 Escape(&block);
             }
         }},
        {"Platform::GuardedCopy", [](int n) {
             for (int i = 0; i < n; ++i) {
                 Platform::GuardedCopy(&block, reinterpret_cast<Platform::View>(view), RECORD_SIZE);
                 Escape(&block);
             }
         }},
        {"Add+RemoveVectoredExceptionHandler alone", [](int n) {
             for (int i = 0; i < n; ++i) RemoveVectoredExceptionHandler(AddVectoredExceptionHandler(1, NoHandler));
         }},
    });
    UnmapViewOfFile(view);
    CloseHandle(region);

    monitor.Stop();
    Report("no monitor", reads, 1, {
        {"floor: CreateMutexW, wait, OpenFileMappingW fails", [](int n) { for (int i = 0; i < n; ++i) FloorRead(&block); }},
        {"GetData: the failure path", [](int n) { for (int i = 0; i < n; ++i) proxy.GetData(); }},
    });
    return 0;
}
