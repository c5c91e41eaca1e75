// --web-config: TLS and basic auth for --serve, from a file in the web
// configuration format of Prometheus' exporters (the part that applies here).
#ifndef VANTORIX_SERVE_WEBCONFIG_H
#define VANTORIX_SERVE_WEBCONFIG_H

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Options.h"

struct crypt_data;  // libxcrypt's <crypt.h>

// The limits on what the file may hold, so that a mistaken or hostile file
// costs little. bcrypt's cost: one check at cost 14 takes about a second
// of a core here (docs/reliability.md), and each more doubles it.
const int MAX_BCRYPT_COST = 14;
const std::size_t MAX_USERS = 1000;
const std::size_t MAX_CONFIG_BYTES = 1 << 20;  // the YAML, and each file it names

// What the file says, checked: files named in it are regular files, read
// whole here (so that nothing read later can be swapped or block), hashes
// are bcrypt's. Paths are as given, or relative to the file's folder.
struct WebConfig {
    enum class ClientAuth { None, VerifyIfGiven, RequireAndVerify };
    bool tls = false;  // tls_server_config was given
    std::string cert_file, key_file, client_ca_file;
    std::string cert_pem, key_pem, client_ca_pem;  // their contents
    bool tls13_only = false;  // min_version TLS13; otherwise TLS12
    ClientAuth client_auth = ClientAuth::None;
    std::map<std::string, std::string> basic_auth_users;  // user -> bcrypt hash
};

// A file that cannot be used; what() names the problem (and the line).
struct WebConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

WebConfig LoadWebConfig(const std::string& path);

// The contents of a regular file of at most `limit` bytes; anything else (a
// directory, a FIFO, a device) is refused at once, without waiting for it.
// `what` names the file in the message.
std::string ReadRegularFile(const std::string& path, const std::string& what, std::size_t limit);

// Checks an Authorization header against the users. bcrypt is slow by design,
// so one check runs at a time and a crowd of guesses holds one core, not all;
// an unknown user costs the same as the dearest known one. Credentials that
// passed are remembered (their SHA-256), so a scraper or the page's polling
// pays once.
class CBasicAuth {
public:
    explicit CBasicAuth(std::map<std::string, std::string> users);
    ~CBasicAuth();
    // At once, without bcrypt: 1 for credentials that passed before, 0 for a
    // header that cannot pass (none, or not Basic), -1 for one to Check.
    int Known(std::string_view authorization) const;
    // bcrypt, on one thread at a time; nothing else (it may still run while
    // the process exits).
    bool Check(std::string_view authorization) const;
    // Known(authorization) is 1 from now on (it passed Check).
    void Remember(std::string_view authorization);

private:
    std::map<std::string, std::string> users_;
    std::string unknown_user_hash_;
    mutable std::mutex check_mutex_;
    std::unique_ptr<crypt_data> scratch_;  // crypt_r's 32 KiB, used under check_mutex_
    mutable std::mutex accepted_mutex_;
    std::set<std::string> accepted_;  // SHA-256 of "user:password" that passed, under accepted_mutex_
};

// --serve, with options.web_config applied when given. Returns 3, with the
// problem on stderr for a file that cannot be used, or where this build has
// no TLS and basic auth.
int ServeWithWebConfig(const Options& options, std::atomic<int>* signal);

#endif  // VANTORIX_SERVE_WEBCONFIG_H
