// vantorix-info --serve: the readings over HTTP, for browsers and Prometheus.
#ifndef VANTORIX_READER_SERVE_H
#define VANTORIX_READER_SERVE_H

#include <boost/utility/string_view.hpp>

#include <atomic>
#include <functional>

#include "CommandLine.h"

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

// Checks requests' Authorization header (empty when it has none). `known`
// answers at once where it can: 1 pass, 0 refuse, -1 ask `check`, which may
// take long (bcrypt) and so runs on a thread of its own, one check at a time:
// the serving thread never waits for a password.
struct Authorizer {
    std::function<int(boost::string_view authorization)> known;
    std::function<bool(boost::string_view authorization)> check;
    explicit operator bool() const { return static_cast<bool>(check); }
};

// Serves options.serve_host:serve_port until SIGINT or SIGTERM, which it
// stores in `*signal` (or until `*signal` is set). With `tls`, over TLS
// (where the build has it); with `authorize`, only to requests it accepts
// (others get 401). Returns the exit status: 0 when stopped, 2 when the
// address cannot be served.
int Serve(const Options& options, std::atomic<int>* signal, boost::asio::ssl::context* tls = nullptr,
          Authorizer authorize = Authorizer());

#endif  // VANTORIX_READER_SERVE_H
