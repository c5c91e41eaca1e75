#include "Publisher.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int NO_FD = -1;

}  // namespace

// Must match the reader.
std::string NamedObjectPath(const char* name) {
    return std::string("/dev/shm/") + name + "." + std::to_string(geteuid());
}

CPublisher::CPublisher() : mutex_(NO_FD), region_(NO_FD), view_(nullptr), size_(0) {}

CPublisher::~CPublisher() {
    Close();
}

bool CPublisher::Create(std::size_t region_size, const vantorix_shared_data* initial,
                        std::uint32_t* error) {
    Close();
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    const int mutex = open(NamedObjectPath("VantorixMutexObject").c_str(), flags, 0600);
    if (mutex < 0) {
        *error = static_cast<std::uint32_t>(errno);
        return false;
    }
    mutex_ = static_cast<std::uintptr_t>(mutex);
    Lock();
    const int region = open(NamedObjectPath("VantorixMappingObject").c_str(), flags, 0600);
    void* view = MAP_FAILED;
    if (region >= 0 && ftruncate(region, static_cast<off_t>(region_size)) == 0) {
        view = mmap(nullptr, region_size, PROT_READ | PROT_WRITE, MAP_SHARED, region, 0);
    }
    if (view == MAP_FAILED) {
        *error = static_cast<std::uint32_t>(errno);
        if (region >= 0) close(region);
        Unlock();
        Close();
        return false;
    }
    Adopt(static_cast<std::uintptr_t>(region), view, region_size, initial);
    return true;
}

void CPublisher::Lock() {
    while (flock(static_cast<int>(mutex_), LOCK_EX) != 0 && errno == EINTR) {
    }
}

void CPublisher::Unlock() {
    flock(static_cast<int>(mutex_), LOCK_UN);
}

void CPublisher::Close() {
    if (view_ != nullptr) munmap(view_, size_);
    if (static_cast<int>(region_) != NO_FD) close(static_cast<int>(region_));
    if (static_cast<int>(mutex_) != NO_FD) close(static_cast<int>(mutex_));
    view_ = nullptr;
    size_ = 0;
    region_ = static_cast<std::uintptr_t>(NO_FD);
    mutex_ = static_cast<std::uintptr_t>(NO_FD);
}

void CPublisher::Remove() {
    if (static_cast<int>(mutex_) != NO_FD) {
        Lock();
        unlink(NamedObjectPath("VantorixMappingObject").c_str());
        Unlock();
    }
    Close();
}

void RemoveNamedObjects() {
    unlink(NamedObjectPath("VantorixMappingObject").c_str());
    unlink(NamedObjectPath("VantorixMutexObject").c_str());
}
