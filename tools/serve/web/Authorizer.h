// Who may be served: the check of a request's credentials. --web-config's
// users make one (LoadWebServing); the server asks it of each request
// (Routes.h: Authenticated).
#ifndef VANTORIX_SERVE_WEB_AUTHORIZER_H
#define VANTORIX_SERVE_WEB_AUTHORIZER_H

#include <functional>
#include <string_view>

// What an Authorization header is known to be, without bcrypt.
enum class Credentials {
    Pass,    // it passed before (remembered)
    Refuse,  // it cannot pass: none, or not Basic
    Check,   // only bcrypt can tell
};

// Checks requests' Authorization header (empty when it has none). `known`
// answers at once where it can; `check` may take long (bcrypt) and so runs
// on a thread of its own, one check at a time (http/PasswordChecks.h): the
// serving thread never waits for a password. Then `remember`, on the
// serving thread, keeps a header that passed as known. Empty: no
// authentication.
struct Authorizer {
    std::function<Credentials(std::string_view authorization)> known;
    std::function<bool(std::string_view authorization)> check;
    std::function<void(std::string_view authorization)> remember;
    explicit operator bool() const { return static_cast<bool>(check); }
};

#endif  // VANTORIX_SERVE_WEB_AUTHORIZER_H
