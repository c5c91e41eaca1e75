#include "Publisher.h"

#include <cstring>

void CPublisher::Adopt(std::uintptr_t region, void* view, std::size_t size, const vantorix_shared_data* initial) {
    region_ = region;
    view_ = static_cast<unsigned char*>(view);
    size_ = size;
    std::memset(view_, 0, size_);
    if (initial != nullptr) {
        std::memcpy(view_, initial, sizeof(*initial) < size_ ? sizeof(*initial) : size_);
    }
    Unlock();
}

void CPublisher::Publish(const void* data, std::size_t size) {
    Lock();
    std::memcpy(view_, data, size < size_ ? size : size_);
    Unlock();
}
