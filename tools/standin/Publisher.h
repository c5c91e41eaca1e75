// The monitor's side of the shared objects, for the stand-in monitor and the
// tests: creates the named mutex and region and writes records under the
// mutex, as the Vantorix monitor does.
#ifndef VANTORIX_STANDIN_PUBLISHER_H
#define VANTORIX_STANDIN_PUBLISHER_H

#include <cstddef>
#include <cstdint>

#include "GetVantorixInfo.h"

class CPublisher {
public:
    CPublisher();
    ~CPublisher();  // closes its handles; Remove() also deletes the objects
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    // Creates (or opens) the mutex and the region, `region_size` bytes.
    // False with the platform's code in `*error` on failure.
    bool Create(std::size_t region_size, std::uint32_t* error);

    void Lock();
    void Unlock();

    // Writes `size` bytes at the region's start under the mutex
    // (at most the region's size).
    void Publish(const void* data, std::size_t size);
    void Publish(const vantorix_shared_data& record) { Publish(&record, sizeof(record)); }

    // The writable view; write only while locked.
    unsigned char* View() { return view_; }
    std::size_t Size() const { return size_; }

    // Deletes the named objects where the platform keeps them after their
    // last handle (Linux), then closes everything.
    void Remove();
    void Close();

private:
    std::uintptr_t mutex_;
    std::uintptr_t region_;
    unsigned char* view_;
    std::size_t size_;
};

// Deletes leftover named objects of this user without opening them (Linux);
// nothing to do on Windows, where they vanish with their last handle.
void RemoveNamedObjects();

#endif  // VANTORIX_STANDIN_PUBLISHER_H
