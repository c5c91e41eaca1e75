// --web-config where the build has OpenSSL and libxcrypt (Linux): the TLS
// context from the file's certificate and key, and the basic auth checker.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <exception>
#include <memory>

#include "BasicAuth.h"
#include "WebConfig.h"
#include "WebServing.h"

namespace {

namespace ssl = boost::asio::ssl;

// OpenSSL's reason, without asio's prefix of the call it made.
std::string Reason(const boost::system::system_error& error) {
    return error.code().message();
}

std::shared_ptr<ssl::context> MakeTlsContext(const WebConfig& config) {
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, config.tls13_only ? TLS1_3_VERSION : TLS1_2_VERSION);
    context->set_options(ssl::context::default_workarounds);
    try {
        context->use_certificate_chain(boost::asio::buffer(config.cert_pem));
    } catch (const boost::system::system_error& error) {
        throw WebConfigError("cert_file " + config.cert_file + " holds no usable certificate: " + Reason(error));
    }
    try {
        // OpenSSL also checks here that the key is the certificate's.
        context->use_private_key(boost::asio::buffer(config.key_pem), ssl::context::pem);
    } catch (const boost::system::system_error& error) {
        throw WebConfigError("key_file " + config.key_file + " holds no private key of cert_file's certificate: " +
                             Reason(error));
    }
    if (config.client_auth != WebConfig::ClientAuth::None) {
        try {
            context->add_certificate_authority(boost::asio::buffer(config.client_ca_pem));
        } catch (const boost::system::system_error& error) {
            throw WebConfigError("client_ca_file " + config.client_ca_file + " holds no certificate: " +
                                 Reason(error));
        }
        // The names of the accepted authorities, so that a client knows which certificate to present.
        std::unique_ptr<BIO, decltype(&BIO_free)> pem(
            BIO_new_mem_buf(config.client_ca_pem.data(), static_cast<int>(config.client_ca_pem.size())), BIO_free);
        while (X509* certificate = pem ? PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr) : nullptr) {
            SSL_CTX_add_client_CA(native, certificate);
            X509_free(certificate);
        }
        ERR_clear_error();  // the end of the certificates
        context->set_verify_mode(config.client_auth == WebConfig::ClientAuth::RequireAndVerify
                                     ? ssl::verify_peer | ssl::verify_fail_if_no_peer_cert
                                     : ssl::verify_peer);
    }
    return context;
}

}  // namespace

bool LoadWebServing(const std::string& path, WebServing* serving, std::string* why) {
    try {
        const WebConfig config = LoadWebConfig(path);
        if (config.tls) serving->tls = MakeTlsContext(config);
        if (!config.basic_auth_users.empty()) {
            const auto users = std::make_shared<CBasicAuth>(config.basic_auth_users);
            serving->authorize.known = [users](std::string_view header) { return users->Known(header); };
            serving->authorize.check = [users](std::string_view header) { return users->Check(header); };
            serving->authorize.remember = [users](std::string_view header) { users->Remember(header); };
        }
    } catch (const std::exception& error) {  // WebConfigError, and whatever else a hostile file brings
        *why = error.what();
        return false;
    }
    return true;
}
