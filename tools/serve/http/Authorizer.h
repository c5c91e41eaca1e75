// Who may be served: the check of a request's credentials, as --serve's
// sessions see it, and the TLS context they are handed.
#ifndef VANTORIX_SERVE_HTTP_AUTHORIZER_H
#define VANTORIX_SERVE_HTTP_AUTHORIZER_H

#include <functional>
#include <string_view>

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

// Checks requests' Authorization header (empty when it has none). `known`
// answers at once where it can: 1 pass, 0 refuse, -1 ask `check`, which may
// take long (bcrypt) and so runs on a thread of its own, one check at a time
// (PasswordChecks.h): the serving thread never waits for a password. Then
// `remember`, on the serving thread, keeps a header that passed as known.
struct Authorizer {
    std::function<int(std::string_view authorization)> known;
    std::function<bool(std::string_view authorization)> check;
    std::function<void(std::string_view authorization)> remember;
    explicit operator bool() const { return static_cast<bool>(check); }
};

#endif  // VANTORIX_SERVE_HTTP_AUTHORIZER_H
