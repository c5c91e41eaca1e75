// Basic auth for --serve, checked with libxcrypt's bcrypt.
#include "BasicAuth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

namespace {

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

std::string UnknownUserHash(const std::map<std::string, std::string>& users) {
    // Any hash that matches no password, at the highest cost of the real ones.
    std::string hash = "$2b$10$5kCaL.5W2zhG6FN/iWJWAeYWHAHF9kk1QBfgJKmuDbesqn5LR1Unm";
    std::string cost = "04";
    for (const auto& user : users) cost = std::max(cost, user.second.substr(4, 2));
    return hash.replace(4, 2, cost);
}

CBasicAuth::CBasicAuth(std::map<std::string, std::string> users)
    : users_(std::move(users)), unknown_user_hash_(UnknownUserHash(users_)), scratch_(new crypt_data()) {}

CBasicAuth::~CBasicAuth() = default;

namespace {

// "user:password" from the header, and its SHA-256, the key under which
// credentials that passed are remembered; false for a header that cannot pass.
bool CredentialsOf(std::string_view authorization, std::string* credentials, std::string* key) {
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

Credentials CBasicAuth::Known(std::string_view authorization) const {
    std::string credentials, key;
    if (!CredentialsOf(authorization, &credentials, &key)) return Credentials::Refuse;
    std::lock_guard<std::mutex> lock(accepted_mutex_);
    return accepted_.count(key) ? Credentials::Pass : Credentials::Check;
}

bool CBasicAuth::Check(std::string_view authorization) const {
    std::string credentials;
    if (!DecodeBasic(authorization, &credentials) || credentials.find(':') == std::string::npos) return false;
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
    return same && user != users_.end() && password.find('\0') == std::string::npos;
}

void CBasicAuth::Remember(std::string_view authorization) {
    std::string credentials, key;
    if (!CredentialsOf(authorization, &credentials, &key)) return;
    std::lock_guard<std::mutex> lock(accepted_mutex_);
    if (accepted_.size() >= 64) accepted_.clear();  // bounded, whoever logs in
    accepted_.insert(key);
}
