#include "Publisher.h"

#include <cstring>

void CPublisher::WriteInitial(const vantorix_shared_data* initial) {
    std::memset(view_, 0, size_);
    if (initial != nullptr) {
        std::memcpy(view_, initial, sizeof(*initial) < size_ ? sizeof(*initial) : size_);
    }
}

void CPublisher::Publish(const void* data, std::size_t size) {
    Lock();
    std::memcpy(view_, data, size < size_ ? size : size_);
    Unlock();
}
