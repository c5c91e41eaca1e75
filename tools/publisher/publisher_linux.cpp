#include "Publisher.h"
#include "PublishLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "ObjectNames.h"

namespace {

const int NO_FD = -1;
const mode_t OWNER_ONLY = S_IRUSR | S_IWUSR;
const int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int Fd(std::uintptr_t value) {
    return static_cast<int>(value);
}

// The readers' rules for the objects: regular files of ours that nobody else
// can open (mutex) or write (region). A file that breaks them was planted by
// someone else, and is neither used nor removed.
bool Ours(int fd, bool region) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) return false;
    const mode_t forbidden = region ? (S_IWGRP | S_IWOTH) : (S_IRWXG | S_IRWXO);
    return (info.st_mode & forbidden) == 0 && (!region || info.st_nlink == 1) &&
           ((info.st_mode & 0777) == OWNER_ONLY || fchmod(fd, OWNER_ONLY) == 0);
}

// Opens `path` and accepts it only by the rules above; errno EACCES if not.
int OpenOurs(const std::string& path, int flags, bool region) {
    const int fd = open(path.c_str(), flags | OPEN_FLAGS, OWNER_ONLY);
    if (fd < 0) {
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO) errno = EACCES;
        return NO_FD;
    }
    if (!Ours(fd, region)) {
        close(fd);
        errno = EACCES;
        return NO_FD;
    }
    return fd;
}

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

bool SameFile(int fd, const std::string& path) {
    struct stat open_file, named;
    return fstat(fd, &open_file) == 0 && lstat(path.c_str(), &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Takes the exclusive lock that marks a live monitor's region. A reader that
// asks whether the monitor lives holds a shared lock for a moment, so only a
// lock held for half a second is another monitor's.
bool LockRegion(int fd) {
    for (int attempt = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
        if (errno != EWOULDBLOCK || attempt == 50) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Creates the region exclusively. A region left by a monitor that died is
// replaced; one whose monitor still runs (it holds a lock on the region for
// its lifetime) is not: EEXIST.
int CreateRegion(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | OPEN_FLAGS, OWNER_ONLY);
        if (fd >= 0) {
            if (fchmod(fd, OWNER_ONLY) == 0 && LockRegion(fd)) return fd;
            close(fd);
            unlink(path.c_str());
            return NO_FD;
        }
        if (errno != EEXIST) return NO_FD;
        const int existing = OpenOurs(path, O_RDONLY, true);
        if (existing == NO_FD) return NO_FD;
        const bool alive = !LockRegion(existing);
        if (!alive) unlink(path.c_str());
        close(existing);
        if (alive) {
            errno = EEXIST;
            return NO_FD;
        }
    }
    errno = EEXIST;
    return NO_FD;
}

}  // namespace

// Must match the reader.
std::string NamedObjectPath(const char* name) {
    return std::string("/dev/shm/") + name + "." + std::to_string(geteuid());
}

CPublisher::CPublisher() : mutex_(NO_FD), region_(NO_FD), view_(nullptr), size_(0) {}

CPublisher::~CPublisher() {
    Close();
}

bool CPublisher::Create(std::size_t region_size, const vantorix_shared_data* initial, std::uint32_t* error,
                        int lock_timeout_ms) {
    Close();
    const int mutex = OpenOurs(NamedObjectPath(VANTORIX_MUTEX_NAME), O_RDWR | O_CREAT, false);
    if (mutex == NO_FD) {
        *error = static_cast<std::uint32_t>(errno);
        return false;
    }
    mutex_ = static_cast<std::uintptr_t>(mutex);
    if (!TryLock(lock_timeout_ms)) {
        *error = ETIMEDOUT;
        Close();
        return false;
    }
    const std::string path = NamedObjectPath(VANTORIX_MAPPING_NAME);
    const int region = CreateRegion(path);
    void* view = MAP_FAILED;
    if (region != NO_FD && ftruncate(region, static_cast<off_t>(region_size)) == 0) {
        view = mmap(nullptr, region_size, PROT_READ | PROT_WRITE, MAP_SHARED, region, 0);
    }
    if (view == MAP_FAILED) {
        *error = static_cast<std::uint32_t>(errno);
        if (region != NO_FD) {
            unlink(path.c_str());
            close(region);
        }
        Unlock();
        Close();
        return false;
    }
    Adopt(static_cast<std::uintptr_t>(region), view, region_size, initial);
    return true;
}

void CPublisher::Lock() {
    while (flock(Fd(mutex_), LOCK_EX) != 0 && errno == EINTR) {
    }
}

bool CPublisher::TryLock(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (flock(Fd(mutex_), LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void CPublisher::Unlock() {
    flock(Fd(mutex_), LOCK_UN);
}

void CPublisher::Close() {
    if (view_ != nullptr) munmap(view_, size_);
    if (Fd(region_) != NO_FD) close(Fd(region_));
    if (Fd(mutex_) != NO_FD) close(Fd(mutex_));
    view_ = nullptr;
    size_ = 0;
    region_ = static_cast<std::uintptr_t>(NO_FD);
    mutex_ = static_cast<std::uintptr_t>(NO_FD);
}

bool CPublisher::Remove() {
    bool withdrawn = true;
    if (Fd(mutex_) != NO_FD) {
        withdrawn = TryLock(LOCK_TIMEOUT_MS);
        if (withdrawn) {
            // Only the region this monitor created: never one that replaced it.
            const std::string path = NamedObjectPath(VANTORIX_MAPPING_NAME);
            if (Fd(region_) != NO_FD && SameFile(Fd(region_), path)) unlink(path.c_str());
            Unlock();
        }
    }
    Close();
    return withdrawn;
}

std::string CreateErrorText(std::uint32_t error) {
    switch (error) {
    case EEXIST:
        return "another monitor of this user is publishing already";
    case EACCES:
        return "an object under the monitor's names in /dev/shm belongs to another user or is not a "
               "private regular file; it was left alone";
    case ETIMEDOUT:
        return "the monitor's mutex stays held by another process";
    default:
        return std::strerror(static_cast<int>(error));
    }
}

void RemoveNamedObjects() {
    unlink(NamedObjectPath(VANTORIX_MAPPING_NAME).c_str());
    unlink(NamedObjectPath(VANTORIX_MUTEX_NAME).c_str());
}

// The stop signals stay blocked and are taken with sigtimedwait: the loop
// sleeps until its next republish or a signal, whichever comes first, and no
// handler runs.
void CatchStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool WaitForStop(std::chrono::steady_clock::duration timeout) {
    static bool stopped = false;
    if (stopped) return true;
    const sigset_t signals = StopSignals();
    timespec limit = {0, 0};
    if (timeout > std::chrono::steady_clock::duration::zero()) {
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(timeout);
        limit.tv_sec = static_cast<time_t>(whole.count());
        limit.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - whole).count());
    }
    const bool forever = timeout == std::chrono::steady_clock::duration::max();
    const int signal = sigtimedwait(&signals, nullptr, forever ? nullptr : &limit);
    stopped = signal == SIGINT || signal == SIGTERM;
    return stopped;
}
