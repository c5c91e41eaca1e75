#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "System.h"

namespace {
const std::size_t CAP = 1024;
const std::size_t SPARE = 64;  // descriptors for everything but connections
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
    return limit.rlim_cur > 2 * SPARE ? std::min<std::size_t>(CAP, limit.rlim_cur - SPARE) : SPARE;
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
