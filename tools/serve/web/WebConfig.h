// --web-config: TLS and basic auth for --serve, from a file in the web
// configuration format of Prometheus' exporters (the part that applies here).
#ifndef VANTORIX_SERVE_WEB_WEBCONFIG_H
#define VANTORIX_SERVE_WEB_WEBCONFIG_H

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>

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

#endif  // VANTORIX_SERVE_WEB_WEBCONFIG_H
