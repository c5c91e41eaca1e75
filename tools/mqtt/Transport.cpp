#include "Transport.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

class CPlainTransport : public CTransport {
public:
    explicit CPlainTransport(asio::io_context& context) : socket_(context) {}

    void Connect(const tcp::resolver::results_type& endpoints, Done done) override {
        asio::async_connect(socket_, endpoints,
                            [done](const boost::system::error_code& error, const tcp::endpoint&) { done(error); });
    }
    void ReadSome(asio::mutable_buffer buffer, Moved done) override { socket_.async_read_some(buffer, done); }
    void Write(asio::const_buffer buffer, Moved done) override { asio::async_write(socket_, buffer, done); }
    void Close() override {
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

private:
    tcp::socket socket_;
};

}  // namespace

TransportMaker PlainTransports() {
    return [](asio::io_context& context) { return std::unique_ptr<CTransport>(new CPlainTransport(context)); };
}
