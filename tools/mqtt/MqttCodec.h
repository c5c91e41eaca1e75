// MQTT 3.1.1 packets as bytes: what the client sends, encoded, and what a
// broker sends, decoded. Pure functions with no input trusted: every length
// is checked against what is there, the remaining length takes at most four
// bytes, and a packet above the caller's bound is refused before it is
// read whole (the fuzzer's and the codec test's target).
#ifndef VANTORIX_MQTT_MQTTCODEC_H
#define VANTORIX_MQTT_MQTTCODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mqtt {

enum PacketType : std::uint8_t {
    CONNECT = 1,
    CONNACK = 2,
    PUBLISH = 3,
    PUBACK = 4,
    SUBSCRIBE = 8,
    SUBACK = 9,
    PINGREQ = 12,
    PINGRESP = 13,
    DISCONNECT = 14,
};

struct Connect {
    std::string client_id;
    std::uint16_t keepalive = 30;  // seconds
    bool has_user = false, has_password = false;
    std::string user, password;
    std::string will_topic;  // empty: no will
    std::string will_payload;
    bool will_retain = false;
    std::uint8_t will_qos = 0;
};

std::string EncodeConnect(const Connect& connect);
// QoS 0 or 1; `id` is used (and must be nonzero) for QoS 1 only.
std::string EncodePublish(const std::string& topic, const std::string& payload, std::uint8_t qos, bool retain,
                          std::uint16_t id);
std::string EncodePuback(std::uint16_t id);
// Each filter at QoS 0.
std::string EncodeSubscribe(std::uint16_t id, const std::vector<std::string>& filters);
std::string EncodePingreq();
std::string EncodeDisconnect();

// One packet from a broker: its type, the fixed header's flags, its body.
struct Packet {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::string body;
};

enum class Take {
    NeedMore,   // not a whole packet yet: read more
    Packet,     // `*packet` holds it, and its bytes are gone from the buffer
    Malformed,  // `*why` says how; the connection cannot go on
    TooLarge,   // announced above `limit` bytes
};

// Takes the first packet off the front of `buffer`, a packet of `limit`
// bytes at most (fixed header included). Types a client never receives and
// a fixed header's reserved flags set are malformed.
Take TakePacket(std::string* buffer, std::size_t limit, Packet* packet, std::string* why);

// The bodies, each checked whole: false for one that is malformed.
struct Connack {
    bool session_present = false;
    std::uint8_t code = 0;  // 0: accepted
};
bool ParseConnack(const Packet& packet, Connack* connack);
bool ParsePuback(const Packet& packet, std::uint16_t* id);
bool ParseSuback(const Packet& packet, std::uint16_t* id, std::vector<std::uint8_t>* codes);
bool ParsePingresp(const Packet& packet);
struct Publish {
    std::string topic, payload;
    std::uint8_t qos = 0;
    bool retain = false;
    std::uint16_t id = 0;
};
bool ParsePublish(const Packet& packet, Publish* publish);

// The broker's text for a CONNACK's refusal.
const char* ConnackText(std::uint8_t code);

}  // namespace mqtt

#endif  // VANTORIX_MQTT_MQTTCODEC_H
