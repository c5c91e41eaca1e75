// mqtts:// through OpenSSL (Boost.Asio's ssl::stream): the broker's chain is
// verified against the CA file or the system's authorities, and its
// certificate must name the host of the URL (sent as SNI too, when a name).
#include "Transport.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

class CTlsTransport : public CTransport {
public:
    CTlsTransport(asio::io_context& io, std::shared_ptr<ssl::context> context, const std::string& host)
        : context_(std::move(context)), stream_(io, *context_), host_(host) {}

    void Connect(const tcp::resolver::results_type& endpoints, Done done) override {
        asio::async_connect(stream_.lowest_layer(), endpoints,
                            [this, done](const boost::system::error_code& error, const tcp::endpoint&) {
                                if (error) return done(error);
                                // A name goes as SNI; an address may not.
                                boost::system::error_code not_address;
                                asio::ip::make_address(host_, not_address);
                                if (not_address) SSL_set_tlsext_host_name(stream_.native_handle(), host_.c_str());
                                stream_.set_verify_callback(ssl::host_name_verification(host_));
                                stream_.async_handshake(ssl::stream_base::client, done);
                            });
    }
    void ReadSome(asio::mutable_buffer buffer, Moved done) override { stream_.async_read_some(buffer, done); }
    void Write(asio::const_buffer buffer, Moved done) override { asio::async_write(stream_, buffer, done); }
    void Close() override {
        boost::system::error_code ignored;
        stream_.lowest_layer().close(ignored);
    }

private:
    std::shared_ptr<ssl::context> context_;
    ssl::stream<tcp::socket> stream_;
    const std::string host_;
};

}  // namespace

TransportMaker TlsTransports(const std::string& host, const std::string& ca_file, std::string* why) {
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    boost::system::error_code error;
    context->set_options(ssl::context::no_sslv2 | ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                         ssl::context::no_tlsv1_1);
    context->set_verify_mode(ssl::verify_peer, error);
    if (!error) {
        if (ca_file.empty()) {
            context->set_default_verify_paths(error);
        } else {
            context->load_verify_file(ca_file, error);
        }
    }
    if (error) {
        // OpenSSL's own text here is only "asio.ssl error".
        *why = ca_file.empty() ? "the system's certificate authorities cannot be used: " + error.message()
                               : "the CA file " + ca_file +
                                     " cannot be used: it is missing or unreadable, or holds no PEM certificate";
        return TransportMaker();
    }
    return [context, host](asio::io_context& io) {
        return std::unique_ptr<CTransport>(new CTlsTransport(io, context, host));
    };
}
