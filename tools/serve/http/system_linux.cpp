#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "System.h"

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

std::vector<int> StopSignals() {
    return {SIGINT, SIGTERM, SIGHUP};
}

void HoldStopSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int number : StopSignals()) sigaddset(&held, number);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

// SO_REUSEADDR: on Linux it only lets a restarted server past the old
// connections' TIME_WAIT, and a second server is still refused.
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor) {
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
}

// accept(2): a connection aborted while queued, or one with a network error
// pending (TCP's list), fails that accept alone.
bool ClientLeft(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
    case ECONNABORTED: case ECONNRESET: case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}
