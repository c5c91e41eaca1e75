// The byte stream to the broker: plain TCP on every platform, TLS where the
// build has it (transport_linux.cpp: OpenSSL, the broker's certificate
// checked against the CA file or the system's and against its host name;
// transport_win32.cpp: none yet). One transport per connection; the client
// keeps it alive until its operations have completed.
#ifndef VANTORIX_MQTT_TRANSPORT_H
#define VANTORIX_MQTT_TRANSPORT_H

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class CTransport {
public:
    typedef std::function<void(const boost::system::error_code&)> Done;
    typedef std::function<void(const boost::system::error_code&, std::size_t)> Moved;
    virtual ~CTransport() = default;
    // Connects to one of `endpoints` (and shakes hands, for TLS).
    virtual void Connect(const boost::asio::ip::tcp::resolver::results_type& endpoints, Done done) = 0;
    virtual void ReadSome(boost::asio::mutable_buffer buffer, Moved done) = 0;
    // Writes all of `buffer`.
    virtual void Write(boost::asio::const_buffer buffer, Moved done) = 0;
    // Ends the connection at once; operations in progress complete with an error.
    virtual void Close() = 0;
};

typedef std::function<std::unique_ptr<CTransport>(boost::asio::io_context& context)> TransportMaker;

// Plain TCP (Transport.cpp).
TransportMaker PlainTransports();

// TLS to `host`, the broker's certificate verified against `ca_file` (empty:
// the system's authorities). An empty maker, with why in `why`, where the
// build has no TLS or the CA file cannot be used.
TransportMaker TlsTransports(const std::string& host, const std::string& ca_file, std::string* why);

#endif  // VANTORIX_MQTT_TRANSPORT_H
