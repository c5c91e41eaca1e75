// The monitor's named objects in the prefix as the bridge keeps them: made
// with the first record, written under the named mutex, and the mutex held
// for as long as the Linux one stays held. Every wait for the mutex is
// bounded: a Windows program may keep it for ever, and the bridge must still
// end on Ctrl-C.
#ifndef VANTORIX_BRIDGE_WINDOWSOBJECTS_H
#define VANTORIX_BRIDGE_WINDOWSOBJECTS_H

#include <cstdint>

#include "GetVantorixInfo.h"
#include "Publisher.h"

class CWindowsObjects {
public:
    enum class Result {
        Done,
        Busy,    // another program kept the mutex for the whole wait: try again later
        Failed,  // the names cannot be taken (another monitor publishes)
    };

    CWindowsObjects();
    ~CWindowsObjects();
    CWindowsObjects(const CWindowsObjects&) = delete;
    CWindowsObjects& operator=(const CWindowsObjects&) = delete;

    // Writes `record` into the region, making the objects first if need be.
    Result Publish(const vantorix_shared_data& record, std::uint32_t* error);
    // Takes the mutex and keeps it until Release or Withdraw (it may exist
    // alone: readers then wait for it as for a monitor that hangs).
    bool Hold();
    void Release();
    // Lets go of everything: the names vanish with the last handles.
    void Withdraw();

    bool Published() const { return published_; }
    bool Holding() const { return holding_; }

    static const int WAIT_MS = 100;

private:
    CPublisher publisher_;
    bool published_;
    void* hold_;  // a handle of our own to the mutex, for holding it
    bool holding_;
};

#endif  // VANTORIX_BRIDGE_WINDOWSOBJECTS_H
