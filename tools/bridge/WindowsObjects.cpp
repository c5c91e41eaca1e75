#include "WindowsObjects.h"

#include <windows.h>

#include <cstring>

#include "ObjectNames.h"

CWindowsObjects::CWindowsObjects() : published_(false), hold_(nullptr), holding_(false) {}

CWindowsObjects::~CWindowsObjects() {
    Withdraw();
}

// A Windows mutex belongs to the thread that took it, whatever the handle:
// while it is held here, the publisher's own waits for it return at once.
CWindowsObjects::Result CWindowsObjects::Publish(const vantorix_shared_data& record, std::uint32_t* error) {
    if (!published_) {
        if (publisher_.Create(sizeof(record), &record, error, WAIT_MS)) {
            published_ = true;
            return Result::Done;
        }
        return *error == WAIT_TIMEOUT ? Result::Busy : Result::Failed;
    }
    if (!publisher_.TryLock(WAIT_MS)) return Result::Busy;
    std::memcpy(publisher_.View(), &record, sizeof(record));
    publisher_.Unlock();
    return Result::Done;
}

bool CWindowsObjects::Hold() {
    if (holding_) return true;
    if (hold_ == nullptr) hold_ = CreateMutexW(NULL, FALSE, L"" VANTORIX_MUTEX_NAME);
    if (hold_ == nullptr) return false;
    const DWORD wait = WaitForSingleObject(hold_, WAIT_MS);
    holding_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    return holding_;
}

void CWindowsObjects::Release() {
    if (holding_) ReleaseMutex(hold_);
    holding_ = false;
}

void CWindowsObjects::Withdraw() {
    Release();
    if (hold_ != nullptr) CloseHandle(hold_);
    hold_ = nullptr;
    publisher_.Close();
    published_ = false;
}
