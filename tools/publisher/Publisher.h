// The monitor's side of the shared objects, for the stand-in monitor and the
// tests: creates the named mutex and region and writes records under the
// mutex, as the Vantorix monitor does.
#ifndef VANTORIX_STANDIN_PUBLISHER_H
#define VANTORIX_STANDIN_PUBLISHER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "GetVantorixInfo.h"

class CPublisher {
public:
    CPublisher();
    ~CPublisher();  // closes its handles; Remove() also deletes the objects
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    // Creates (or opens) the mutex and creates the region, `region_size`
    // bytes, and writes `initial` (a record, or zeros when null) into it, all
    // under the mutex: a reader never sees the region before its first record.
    // False with the platform's code in `*error` on failure: "already exists"
    // (EEXIST, ERROR_ALREADY_EXISTS) while another monitor of this user
    // publishes, "access denied" for objects someone else planted under our
    // names, "timed out" when the mutex stays held for `lock_timeout_ms`.
    static const int LOCK_TIMEOUT_MS = 5000;
    bool Create(std::size_t region_size, const vantorix_shared_data* initial, std::uint32_t* error,
                int lock_timeout_ms = LOCK_TIMEOUT_MS);

    void Lock();
    // Takes the mutex unless it stays held for `timeout_ms`.
    bool TryLock(int timeout_ms);
    void Unlock();

    // Writes `size` bytes at the region's start under the mutex
    // (at most the region's size).
    void Publish(const void* data, std::size_t size);
    void Publish(const vantorix_shared_data& record) { Publish(&record, sizeof(record)); }

    // The writable view; write only while locked.
    unsigned char* View() { return view_; }
    std::size_t Size() const { return size_; }

    // Withdraws the region this monitor created, if it is still the one under
    // the name (under the mutex, so no read is cut short), and closes everything. On Linux the mutex file stays: a reader may hold it
    // open, and a new monitor must lock that same file, not a new one.
    // False when the mutex stayed held for LOCK_TIMEOUT_MS: then the region
    // is left for the next monitor to replace, so that a process keeping the
    // mutex cannot keep this one from ending.
    bool Remove();
    void Close();

private:
    // Takes the new region and its view, writes the first record (or zeros)
    // and releases the mutex that Create took.
    void Adopt(std::uintptr_t region, void* view, std::size_t size, const vantorix_shared_data* initial);

    std::uintptr_t mutex_;
    std::uintptr_t region_;
    unsigned char* view_;
    std::size_t size_;
};

// Where the monitor's named object `name` lives: on Linux the file
// /dev/shm/<name>.<effective uid> that the library opens; on Windows the
// kernel object's name itself.
std::string NamedObjectPath(const char* name);

// Why Create failed, in words, for a monitor's messages.
std::string CreateErrorText(std::uint32_t error);

// Deletes this user's named objects, the mutex file included (Linux), for
// cleaning up when no monitor or reader runs; nothing to do on Windows,
// where they vanish with their last handle.
void RemoveNamedObjects();

#endif  // VANTORIX_STANDIN_PUBLISHER_H
