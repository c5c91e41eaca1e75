// Basic auth for --serve: the users of a --web-config file and their bcrypt
// hashes, with the credentials that passed remembered.
#ifndef VANTORIX_SERVE_WEB_BASICAUTH_H
#define VANTORIX_SERVE_WEB_BASICAUTH_H

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "Authorizer.h"

struct crypt_data;  // libxcrypt's <crypt.h>

// The hash an unknown user's password is checked against, so that the answer
// takes as long as for the dearest known user (`users`: name -> bcrypt hash,
// costs checked): a bcrypt hash at their highest cost that matches no password.
std::string UnknownUserHash(const std::map<std::string, std::string>& users);

// Checks an Authorization header against the users. bcrypt is slow by design,
// so one check runs at a time and a crowd of guesses holds one core, not all;
// an unknown user costs the same as the dearest known one. Credentials that
// passed are remembered (their SHA-256), so a scraper or the page's polling
// pays once.
class CBasicAuth {
public:
    explicit CBasicAuth(std::map<std::string, std::string> users);
    ~CBasicAuth();
    // At once, without bcrypt: Pass for credentials that passed before,
    // Refuse for a header that cannot pass (none, or not Basic), Check for
    // one to Check.
    Credentials Known(std::string_view authorization) const;
    // bcrypt, on one thread at a time; nothing else (it may still run while
    // the process exits).
    bool Check(std::string_view authorization) const;
    // Known(authorization) is Pass from now on (it passed Check).
    void Remember(std::string_view authorization);

private:
    std::map<std::string, std::string> users_;
    std::string unknown_user_hash_;
    mutable std::mutex check_mutex_;
    std::unique_ptr<crypt_data> scratch_;  // crypt_r's 32 KiB, used under check_mutex_
    mutable std::mutex accepted_mutex_;
    std::set<std::string> accepted_;  // SHA-256 of "user:password" that passed, under accepted_mutex_
};

#endif  // VANTORIX_SERVE_WEB_BASICAUTH_H
