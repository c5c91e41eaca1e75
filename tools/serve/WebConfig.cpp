// --web-config: the file read with yaml-cpp and checked whole before serving,
// and basic auth checked with libxcrypt's bcrypt.
#include "WebConfig.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <vector>

namespace {

// "FILE:LINE: ", for the message of a problem at `node`.
std::string Where(const std::string& path, const YAML::Node& node) {
    return path + ":" + std::to_string(node.Mark().line + 1) + ": ";
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

// Fails on a key of `map` that is not in `known`, naming it.
void OnlyKnownKeys(const std::string& path, const YAML::Node& map, const std::string& section,
                   const std::vector<std::string>& known) {
    for (const auto& entry : map) {
        const std::string key = entry.first.Scalar();
        bool found = false;
        for (const std::string& name : known) found = found || key == name;
        if (!found) {
            throw WebConfigError(Where(path, entry.first) + "unknown key '" + key + "'" +
                                 (section.empty() ? "" : " in " + section) + " (known: " + Join(known) + ")");
        }
    }
}

void ExpectMap(const std::string& path, const YAML::Node& node, const std::string& name) {
    if (!node.IsMap()) throw WebConfigError(Where(path, node) + name + " must be a map of keys to values");
}

std::string Text(const std::string& path, const YAML::Node& node, const std::string& name) {
    if (!node.IsScalar()) throw WebConfigError(Where(path, node) + name + " must be a string");
    return node.Scalar();
}

// A file named in the config: relative to the config's folder, as the
// exporters take it, and readable now.
std::string ReadableFile(const std::string& path, const YAML::Node& node, const std::string& name) {
    std::string file = Text(path, node, name);
    const std::size_t slash = path.rfind('/');
    if (!file.empty() && file[0] != '/' && slash != std::string::npos) file = path.substr(0, slash + 1) + file;
    if (!std::ifstream(file)) {
        throw WebConfigError(Where(path, node) + "cannot read " + name + " " + file + ": " + std::strerror(errno));
    }
    return file;
}

void LoadTls(const std::string& path, const YAML::Node& tls, WebConfig* config) {
    ExpectMap(path, tls, "tls_server_config");
    OnlyKnownKeys(path, tls, "tls_server_config",
                  {"cert_file", "key_file", "min_version", "client_auth_type", "client_ca_file"});
    for (const char* required : {"cert_file", "key_file"}) {
        if (!tls[required]) throw WebConfigError(path + ": tls_server_config needs " + required);
    }
    config->tls = true;
    config->cert_file = ReadableFile(path, tls["cert_file"], "cert_file");
    config->key_file = ReadableFile(path, tls["key_file"], "key_file");
    if (tls["min_version"]) {
        const std::string version = Text(path, tls["min_version"], "min_version");
        if (version != "TLS12" && version != "TLS13") {
            throw WebConfigError(Where(path, tls["min_version"]) + "min_version '" + version +
                                 "' is not TLS12 or TLS13 (older versions are not served)");
        }
        config->tls13_only = version == "TLS13";
    }
    if (tls["client_auth_type"]) {
        const std::string type = Text(path, tls["client_auth_type"], "client_auth_type");
        if (type == "VerifyClientCertIfGiven") {
            config->client_auth = WebConfig::ClientAuth::VerifyIfGiven;
        } else if (type == "RequireAndVerifyClientCert") {
            config->client_auth = WebConfig::ClientAuth::RequireAndVerify;
        } else if (type != "NoClientCert") {
            throw WebConfigError(Where(path, tls["client_auth_type"]) + "client_auth_type '" + type +
                                 "' is not NoClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert "
                                 "(certificates that are not verified are not taken)");
        }
    }
    if (tls["client_ca_file"]) config->client_ca_file = ReadableFile(path, tls["client_ca_file"], "client_ca_file");
    const bool verifies = config->client_auth != WebConfig::ClientAuth::None;
    if (verifies && config->client_ca_file.empty()) {
        throw WebConfigError(path + ": client_auth_type verifies client certificates: it needs client_ca_file");
    }
    if (!verifies && !config->client_ca_file.empty()) {
        throw WebConfigError(path + ": client_ca_file is given, but client_auth_type does not verify clients");
    }
}

void LoadUsers(const std::string& path, const YAML::Node& users, WebConfig* config) {
    ExpectMap(path, users, "basic_auth_users");
    static const std::regex bcrypt(R"(\$2[aby]\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{53})");
    for (const auto& entry : users) {
        const std::string user = Text(path, entry.first, "a user's name");
        const std::string hash = Text(path, entry.second, "the hash of user '" + user + "'");
        if (user.find(':') != std::string::npos) {
            throw WebConfigError(Where(path, entry.first) + "user '" + user + "': a name with ':' cannot log in");
        }
        if (!std::regex_match(hash, bcrypt)) {
            throw WebConfigError(Where(path, entry.second) + "the hash of user '" + user +
                                 "' is not a bcrypt hash ($2b$, $2a$ or $2y$, cost 04 to 31, 60 characters)");
        }
        config->basic_auth_users[user] = hash;
    }
}

// "Basic BASE64" -> "user:password"; false for anything else.
bool DecodeBasic(std::string_view header, std::string* credentials) {
    const std::size_t space = header.find(' ');
    if (space == std::string_view::npos || space != 5 || strncasecmp(header.data(), "basic", 5) != 0) return false;
    std::string_view encoded = header.substr(space + 1);
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096) return false;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                       reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    // EVP_DecodeBlock counts the padding's zero bytes too.
    const int padding = (encoded.back() == '=') + (encoded[encoded.size() - 2] == '=');
    if (length < padding) return false;
    decoded.resize(static_cast<std::size_t>(length - padding));
    *credentials = decoded;
    return true;
}

}  // namespace

WebConfig LoadWebConfig(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw WebConfigError("cannot read " + path + ": " + std::strerror(errno));
    WebConfig config;
    try {
        const YAML::Node root = YAML::Load(file);
        if (root.IsNull()) return config;  // an empty file: plain HTTP, no users, as the exporters take it
        ExpectMap(path, root, "the file");
        OnlyKnownKeys(path, root, "", {"tls_server_config", "basic_auth_users"});
        if (root["tls_server_config"] && !root["tls_server_config"].IsNull()) {
            LoadTls(path, root["tls_server_config"], &config);
        }
        if (root["basic_auth_users"] && !root["basic_auth_users"].IsNull()) {
            LoadUsers(path, root["basic_auth_users"], &config);
        }
    } catch (const YAML::Exception& error) {
        throw WebConfigError(path + ":" + std::to_string(error.mark.line + 1) + ": " + error.msg);
    }
    return config;
}

CBasicAuth::CBasicAuth(std::map<std::string, std::string> users)
    : users_(std::move(users)),
      // Any hash that matches no password, at the highest cost of the real
      // ones so that an unknown user takes as long.
      unknown_user_hash_("$2b$10$5kCaL.5W2zhG6FN/iWJWAeYWHAHF9kk1QBfgJKmuDbesqn5LR1Unm"),
      scratch_(new crypt_data()) {
    std::string cost = "04";
    for (const auto& user : users_) cost = std::max(cost, user.second.substr(4, 2));
    unknown_user_hash_.replace(4, 2, cost);
}

CBasicAuth::~CBasicAuth() = default;

namespace {

// "user:password" from the header, and its SHA-256, the key under which
// credentials that passed are remembered; false for a header that cannot pass.
bool Credentials(std::string_view authorization, std::string* credentials, std::string* key) {
    if (!DecodeBasic(authorization, credentials) || credentials->find(':') == std::string::npos) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (!EVP_Digest(credentials->data(), credentials->size(), digest, &digest_size, EVP_sha256(), nullptr)) {
        return false;
    }
    key->assign(reinterpret_cast<const char*>(digest), digest_size);
    return true;
}

}  // namespace

int CBasicAuth::Known(std::string_view authorization) const {
    std::string credentials, key;
    if (!Credentials(authorization, &credentials, &key)) return 0;
    std::lock_guard<std::mutex> lock(accepted_mutex_);
    return accepted_.count(key) ? 1 : -1;
}

bool CBasicAuth::Check(std::string_view authorization) const {
    std::string credentials, key;
    if (!Credentials(authorization, &credentials, &key)) return false;
    const std::size_t colon = credentials.find(':');
    const std::string password = credentials.substr(colon + 1);
    const auto user = users_.find(credentials.substr(0, colon));
    const std::string& hash = user != users_.end() ? user->second : unknown_user_hash_;
    bool same = false;
    {
        std::lock_guard<std::mutex> lock(check_mutex_);
        const char* result = crypt_r(password.c_str(), hash.c_str(), scratch_.get());
        same = result && std::strlen(result) == hash.size() && CRYPTO_memcmp(result, hash.data(), hash.size()) == 0;
    }
    // A password with a zero byte would be cut short there by crypt_r.
    const bool accepted = same && user != users_.end() && password.find('\0') == std::string::npos;
    if (accepted) {
        std::lock_guard<std::mutex> lock(accepted_mutex_);
        if (accepted_.size() >= 64) accepted_.clear();  // bounded, whoever logs in
        accepted_.insert(key);
    }
    return accepted;
}
