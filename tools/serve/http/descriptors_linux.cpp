#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "Descriptors.h"

namespace {
const std::size_t CAP = 1024;
const std::size_t SPARE = 64;  // asked for beyond the cap
// Kept for the server's own work besides what it holds open at start: the
// listener, the event loop (its epoll, wake-up and timer, the signals'
// pipe), a read of the monitor (its mutex, its region, the probe of its
// life), a save of the history (the new file, its folder) and the
// connection taken before room is made for it: 13, and some to spare.
const std::size_t KEPT = 16;

// The descriptors open now, below `limit`.
std::size_t OpenNow(rlim_t limit) {
    std::size_t open = 0;
    for (rlim_t fd = 0; fd < std::min<rlim_t>(limit, 65536); ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
    return open;
}
}  // namespace

// The soft limit on open files is often 1024: raised to the hard limit.
std::size_t ConnectionCap() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return CAP / 2;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < CAP + SPARE) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? CAP + SPARE : std::min<rlim_t>(limit.rlim_max, CAP + SPARE);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY) return CAP;
    const std::size_t own = OpenNow(limit.rlim_cur) + KEPT;
    return limit.rlim_cur > own + 1 ? std::min<std::size_t>(CAP, limit.rlim_cur - own) : 1;
}

bool OutOfDescriptors(std::uint32_t error) {
    return error == EMFILE || error == ENFILE;
}
