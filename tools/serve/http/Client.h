// The client a connection is counted as, for the connections' shares and the
// password checks' queues alike.
#ifndef VANTORIX_SERVE_HTTP_CLIENT_H
#define VANTORIX_SERVE_HTTP_CLIENT_H

#include <boost/asio/ip/address.hpp>

#include <string>

// Its IPv4 address (an IPv4-mapped one too), or its IPv6 address's /64,
// which one host may hold whole.
inline std::string ClientOf(boost::asio::ip::address address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    if (address.is_v4()) return address.to_string();
    const auto bytes = address.to_v6().to_bytes();
    return std::string(reinterpret_cast<const char*>(bytes.data()), 8);
}

#endif  // VANTORIX_SERVE_HTTP_CLIENT_H
