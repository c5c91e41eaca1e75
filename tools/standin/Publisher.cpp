#include "Publisher.h"

#include <cstring>

void CPublisher::Publish(const void* data, std::size_t size) {
    Lock();
    std::memcpy(view_, data, size < size_ ? size : size_);
    Unlock();
}
