#include "Publisher.h"
#include "PublishLoop.h"

#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "ObjectNames.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

HANDLE AsHandle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

CPublisher::CPublisher() : mutex_(0), region_(0), view_(nullptr), size_(0) {}

CPublisher::~CPublisher() {
    Close();
}

bool CPublisher::Create(std::size_t region_size, const vantorix_shared_data* initial, std::uint32_t* error,
                        int lock_timeout_ms) {
    Close();
    HANDLE mutex = CreateMutexW(NULL, FALSE, L"" VANTORIX_MUTEX_NAME);
    if (mutex == NULL) {
        *error = GetLastError();
        return false;
    }
    mutex_ = reinterpret_cast<std::uintptr_t>(mutex);
    // A region outlives its monitor only while someone holds it open for a
    // moment; one that stays belongs to another monitor: ERROR_ALREADY_EXISTS.
    HANDLE region = NULL;
    for (int attempt = 0;; ++attempt) {
        if (!TryLock(lock_timeout_ms)) {
            *error = WAIT_TIMEOUT;
            Close();
            return false;
        }
        region = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                    static_cast<DWORD>(region_size), L"" VANTORIX_MAPPING_NAME);
        if (region == NULL || GetLastError() != ERROR_ALREADY_EXISTS) break;
        CloseHandle(region);
        Unlock();
        if (attempt == 100) {
            *error = ERROR_ALREADY_EXISTS;
            Close();
            return false;
        }
        Sleep(20);
    }
    void* view = NULL;
    if (region != NULL) {
        view = MapViewOfFile(region, FILE_MAP_WRITE, 0, 0, region_size);
    }
    if (view == NULL) {
        *error = GetLastError();
        if (region != NULL) CloseHandle(region);
        Unlock();
        Close();
        return false;
    }
    Adopt(reinterpret_cast<std::uintptr_t>(region), view, region_size, initial);
    return true;
}

void CPublisher::Lock() {
    WaitForSingleObject(AsHandle(mutex_), INFINITE);
}

bool CPublisher::TryLock(int timeout_ms) {
    const DWORD wait = WaitForSingleObject(AsHandle(mutex_), static_cast<DWORD>(timeout_ms));
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void CPublisher::Unlock() {
    ReleaseMutex(AsHandle(mutex_));
}

void CPublisher::Close() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (region_ != 0) CloseHandle(AsHandle(region_));
    if (mutex_ != 0) CloseHandle(AsHandle(mutex_));
    view_ = nullptr;
    size_ = 0;
    region_ = 0;
    mutex_ = 0;
}

bool CPublisher::Remove() {
    Close();  // the objects vanish with their last handle
    return true;
}

std::string CreateErrorText(std::uint32_t error) {
    switch (error) {
    case ERROR_ALREADY_EXISTS:
        return "another monitor of this session is publishing already";
    case WAIT_TIMEOUT:
        return "the monitor's mutex stays held by another process";
    default:
        return "Windows error " + std::to_string(error);
    }
}

void RemoveNamedObjects() {}

std::string NamedObjectPath(const char* name) {
    return name;
}

void CatchStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool WaitForStop(std::chrono::steady_clock::duration timeout) {
    typedef std::chrono::steady_clock Clock;
    const bool forever = timeout == Clock::duration::max();
    const Clock::time_point deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
    while (!g_stop) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        const Clock::duration slice = std::chrono::milliseconds(20);
        std::this_thread::sleep_for(forever ? slice : std::min(slice, deadline - now));
    }
    return true;
}
