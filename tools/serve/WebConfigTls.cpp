// --web-config where the build has OpenSSL and libxcrypt (Linux): the TLS
// context from the file's certificate and key, and the basic auth checker,
// handed to the server.
#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <cstdio>
#include <memory>

#include "Serve.h"
#include "WebConfig.h"

namespace {

namespace ssl = boost::asio::ssl;

// OpenSSL's reason, without asio's prefix of the call it made.
std::string Reason(const boost::system::system_error& error) {
    return error.code().message();
}

std::unique_ptr<ssl::context> MakeTlsContext(const WebConfig& config) {
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, config.tls13_only ? TLS1_3_VERSION : TLS1_2_VERSION);
    context->set_options(ssl::context::default_workarounds);
    try {
        context->use_certificate_chain_file(config.cert_file);
    } catch (const boost::system::system_error& error) {
        throw WebConfigError("cert_file " + config.cert_file + " holds no usable certificate: " + Reason(error));
    }
    try {
        // OpenSSL also checks here that the key is the certificate's.
        context->use_private_key_file(config.key_file, ssl::context::pem);
    } catch (const boost::system::system_error& error) {
        throw WebConfigError("key_file " + config.key_file + " holds no private key of cert_file's certificate: " +
                             Reason(error));
    }
    if (config.client_auth != WebConfig::ClientAuth::None) {
        try {
            context->load_verify_file(config.client_ca_file);
        } catch (const boost::system::system_error& error) {
            throw WebConfigError("client_ca_file " + config.client_ca_file + " holds no certificate: " +
                                 Reason(error));
        }
        // The names of the accepted authorities, so that a client knows which certificate to present.
        SSL_CTX_set_client_CA_list(native, SSL_load_client_CA_file(config.client_ca_file.c_str()));
        context->set_verify_mode(config.client_auth == WebConfig::ClientAuth::RequireAndVerify
                                     ? ssl::verify_peer | ssl::verify_fail_if_no_peer_cert
                                     : ssl::verify_peer);
    }
    return context;
}

}  // namespace

int ServeWithWebConfig(const Options& options, std::atomic<int>* signal) {
    if (options.web_config.empty()) return Serve(options, signal);
    std::unique_ptr<ssl::context> tls;
    Authorizer authorize;
    try {
        const WebConfig config = LoadWebConfig(options.web_config);
        if (config.tls) tls = MakeTlsContext(config);
        if (!config.basic_auth_users.empty()) {
            auto users = std::make_shared<CBasicAuth>(config.basic_auth_users);
            authorize.known = [users](boost::string_view header) {
                return users->Known(std::string_view(header.data(), header.size()));
            };
            authorize.check = [users](boost::string_view header) {
                return users->Check(std::string_view(header.data(), header.size()));
            };
        }
    } catch (const WebConfigError& error) {
        std::fprintf(stderr, "vantorix-info: --web-config: %s\n", error.what());
        return EXIT_USAGE;
    }
    return Serve(options, signal, tls.get(), authorize);
}
