// Linux primitives.
//
// Named objects are files in /dev/shm named "<monitor's name>.<effective uid>",
// so each user has a namespace of their own. /dev/shm is writable by everyone,
// so every open refuses symbolic links, never blocks (a FIFO planted under our
// name cannot stall us), and accepts the object only if nobody else can use it
// against us; anything else is refused with EACCES before a byte is read or a
// lock is waited on:
// - both must be regular files owned by the caller;
// - the mutex must give group and others no access at all, or another user
//   could open it and hold the lock forever;
// - the region must not be writable by group or others and must have exactly
//   one link, or another user could write the record we read (a second link
//   to a file of ours that they can write, which protected_hardlinks allows).
//
// The mutex is an exclusive flock() on its own open file description, so it
// excludes other threads of this process as well as other processes, and the
// kernel drops it when its owner dies: a killed owner never leaves it locked.
//
// The view is the region's descriptor itself: the copy is a pread() done by
// the kernel, which reports a bad destination as EFAULT and a short region as
// a short read. No signal is raised and no per-read mapping is made.
#include "Platform.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace Platform {
namespace {

const char SHM_DIRECTORY[] = "/dev/shm/";
const int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// "/dev/shm/" + ASCII name + "." + uid. The monitor's names are ASCII.
bool BuildPath(const char16_t* name, uid_t uid, char* path, std::size_t capacity) {
    std::size_t length = 0;
    for (const char* p = SHM_DIRECTORY; *p != '\0'; ++p) {
        path[length++] = *p;
    }
    for (; *name != 0; ++name) {
        if (*name > 0x7E || *name == u'/' || length + 1 >= capacity) {
            errno = EINVAL;
            return false;
        }
        path[length++] = static_cast<char>(*name);
    }
    const int written = std::snprintf(path + length, capacity - length, ".%lu",
                                      static_cast<unsigned long>(uid));
    if (written < 0 || static_cast<std::size_t>(written) >= capacity - length) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

const mode_t OWNER_ONLY = S_IRUSR | S_IWUSR;
const mode_t GROUP_AND_OTHERS = S_IRWXG | S_IRWXO;

enum class Kind { Mutex, Region };

// Whether an open object may be used: see the rules at the top.
bool Acceptable(int fd, Kind kind, uid_t uid) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != uid) {
        return false;
    }
    if (kind == Kind::Region) {
        return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && info.st_nlink == 1;
    }
    if ((info.st_mode & GROUP_AND_OTHERS) != 0) {
        return false;
    }
    // A mutex file created under a restrictive umask lacks owner bits that
    // later opens need; it is ours alone, so give it the mode it is made with.
    if ((info.st_mode & 0777) != OWNER_ONLY && fchmod(fd, OWNER_ONLY) != 0) {
        return false;
    }
    return true;
}

// Opens a named object and accepts it only by the rules above.
bool OpenOwnObject(uid_t uid, const char16_t* name, int flags, Kind kind, Handle* handle) {
    char path[128];
    if (!BuildPath(name, uid, path, sizeof(path))) {
        return false;
    }
    int fd;
    do {
        fd = open(path, flags | OPEN_FLAGS, OWNER_ONLY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A symbolic link, a directory, a socket or a device under our name
        // was put there by someone else: the same refusal as any other impostor.
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO || errno == ENODEV) {
            errno = EACCES;
        }
        return false;
    }
    if (!Acceptable(fd, kind, uid)) {
        close(fd);
        errno = EACCES;
        return false;
    }
    *handle = static_cast<Handle>(fd);
    return true;
}

int Descriptor(std::uintptr_t value) {
    return static_cast<int>(value);
}

}  // namespace

Namespace CallerNamespace() {
    return static_cast<Namespace>(geteuid());
}

bool CreateOrOpenMutex(Namespace space, const char16_t* name, Handle* mutex) {
    return OpenOwnObject(static_cast<uid_t>(space), name, O_RDONLY | O_CREAT, Kind::Mutex, mutex);
}

void WaitForMutex(Handle mutex) {
    const int saved = errno;
    while (flock(Descriptor(mutex), LOCK_EX) != 0 && errno == EINTR) {
    }
    errno = saved;  // the outcome of the wait is not reported
}

void ReleaseMutex(Handle mutex) {
    const int saved = errno;
    flock(Descriptor(mutex), LOCK_UN);
    errno = saved;
}

void CloseMutex(Handle mutex) {
    const int saved = errno;
    close(Descriptor(mutex));
    errno = saved;
}

bool OpenRegion(Namespace space, const char16_t* name, Handle* region) {
    return OpenOwnObject(static_cast<uid_t>(space), name, O_RDONLY, Kind::Region, region);
}

void CloseRegion(Handle region) {
    const int saved = errno;
    close(Descriptor(region));
    errno = saved;
}

bool MapView(Handle region, View* view) {
    *view = region;
    return true;
}

void UnmapView(View) {}

bool GuardedCopy(void* dest, View view, std::size_t size) {
    const int saved = errno;
    char* out = static_cast<char*>(dest);
    std::size_t copied = 0;
    bool complete = true;
    while (copied < size) {
        const ssize_t n = pread(Descriptor(view), out + copied, size - copied,
                                static_cast<off_t>(copied));
        if (n > 0) {
            copied += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            complete = false;  // EFAULT, or the region ended early
            break;
        }
    }
    errno = saved;
    return complete;
}

std::uint32_t GetLastErrorCode() {
    return static_cast<std::uint32_t>(errno);
}

void SetLastErrorCode(std::uint32_t code) {
    errno = static_cast<int>(code);
}

std::uint32_t InvalidParameterCode() {
    return EINVAL;
}

bool GetSystemMessage(std::uint32_t code, vantorix_utf16* text, std::size_t capacity) {
    text[0] = 0;
    // The C library's text in its own words (not translated, thread-safe);
    // null for a code it does not know.
    const char* message = strerrordesc_np(static_cast<int>(code));
    if (message == nullptr || capacity == 0) {
        return false;
    }
    const std::size_t length = strlen(message);
    if (length + 1 > capacity) {
        return false;
    }
    // glibc's error texts are ASCII, so each byte is one UTF-16 unit.
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(message[i]);
        if (byte > 0x7F) {
            text[0] = 0;
            return false;
        }
        text[i] = static_cast<vantorix_utf16>(byte);
    }
    text[length] = 0;
    return true;
}

}  // namespace Platform
