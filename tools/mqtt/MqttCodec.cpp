#include "MqttCodec.h"

namespace mqtt {
namespace {

// The most a remaining length can say in its four bytes.
const std::size_t MAX_REMAINING = 268435455;

void U16(std::string* out, std::size_t value) {
    *out += static_cast<char>((value >> 8) & 0xFF);
    *out += static_cast<char>(value & 0xFF);
}

// A string field: two bytes of length, then the bytes (ours are short).
void Field(std::string* out, const std::string& text) {
    U16(out, text.size());
    *out += text;
}

std::string Framed(std::uint8_t first, const std::string& body) {
    std::string out(1, static_cast<char>(first));
    std::size_t length = body.size();
    do {
        std::uint8_t byte = length % 128;
        length /= 128;
        if (length > 0) byte |= 0x80;
        out += static_cast<char>(byte);
    } while (length > 0);
    return out + body;
}

std::uint16_t ReadU16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                      static_cast<unsigned char>(bytes[at + 1]));
}

}  // namespace

std::string EncodeConnect(const Connect& connect) {
    std::string body;
    Field(&body, "MQTT");
    body += '\x04';  // 3.1.1
    std::uint8_t flags = 0x02;  // a clean session: nothing is kept for us between connections
    if (!connect.will_topic.empty()) {
        flags |= 0x04 | static_cast<std::uint8_t>((connect.will_qos & 3) << 3) | (connect.will_retain ? 0x20 : 0);
    }
    if (connect.has_password) flags |= 0x40;
    if (connect.has_user) flags |= 0x80;
    body += static_cast<char>(flags);
    U16(&body, connect.keepalive);
    Field(&body, connect.client_id);
    if (!connect.will_topic.empty()) {
        Field(&body, connect.will_topic);
        Field(&body, connect.will_payload);
    }
    if (connect.has_user) Field(&body, connect.user);
    if (connect.has_password) Field(&body, connect.password);
    return Framed(CONNECT << 4, body);
}

std::string EncodePublish(const std::string& topic, const std::string& payload, std::uint8_t qos, bool retain,
                          std::uint16_t id) {
    std::string body;
    Field(&body, topic);
    if (qos > 0) U16(&body, id);
    body += payload;
    return Framed(static_cast<std::uint8_t>(PUBLISH << 4 | (qos & 3) << 1 | (retain ? 1 : 0)), body);
}

std::string EncodePuback(std::uint16_t id) {
    std::string body;
    U16(&body, id);
    return Framed(PUBACK << 4, body);
}

std::string EncodeSubscribe(std::uint16_t id, const std::vector<std::string>& filters) {
    std::string body;
    U16(&body, id);
    for (const std::string& filter : filters) {
        Field(&body, filter);
        body += '\0';
    }
    return Framed(SUBSCRIBE << 4 | 0x02, body);
}

std::string EncodePingreq() {
    return Framed(PINGREQ << 4, "");
}

std::string EncodeDisconnect() {
    return Framed(DISCONNECT << 4, "");
}

Take TakePacket(std::string* buffer, std::size_t limit, mqtt::Packet* packet, std::string* why) {
    if (buffer->empty()) return Take::NeedMore;
    const std::uint8_t first = static_cast<unsigned char>((*buffer)[0]);
    const std::uint8_t type = first >> 4, flags = first & 0x0F;
    switch (type) {
    case CONNACK:
    case PUBACK:
    case SUBACK:
    case PINGRESP:
        if (flags != 0) {
            *why = "reserved flags set in a packet of type " + std::to_string(type);
            return Take::Malformed;
        }
        break;
    case PUBLISH:
        if ((flags & 0x06) == 0x06) {
            *why = "a PUBLISH with QoS 3";
            return Take::Malformed;
        }
        break;
    default:
        *why = "a packet of type " + std::to_string(type) + ", which a broker does not send";
        return Take::Malformed;
    }
    std::size_t remaining = 0, at = 1;
    for (int shift = 0;; shift += 7, ++at) {
        if (at > 4) {
            *why = "a remaining length longer than four bytes";
            return Take::Malformed;
        }
        if (at >= buffer->size()) return Take::NeedMore;
        const std::uint8_t byte = static_cast<unsigned char>((*buffer)[at]);
        remaining |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) break;
    }
    ++at;
    if (remaining > MAX_REMAINING || remaining > limit || at + remaining > limit) {
        *why = "a packet of " + std::to_string(at + remaining) + " bytes, above the " + std::to_string(limit) +
               " taken";
        return Take::TooLarge;
    }
    if (buffer->size() < at + remaining) return Take::NeedMore;
    packet->type = type;
    packet->flags = flags;
    packet->body = buffer->substr(at, remaining);
    buffer->erase(0, at + remaining);
    return Take::Packet;
}

bool ParseConnack(const mqtt::Packet& packet, Connack* connack) {
    if (packet.type != CONNACK || packet.body.size() != 2) return false;
    const std::uint8_t acknowledge = static_cast<unsigned char>(packet.body[0]);
    if (acknowledge & 0xFE) return false;
    connack->session_present = acknowledge != 0;
    connack->code = static_cast<unsigned char>(packet.body[1]);
    return true;
}

bool ParsePuback(const mqtt::Packet& packet, std::uint16_t* id) {
    if (packet.type != PUBACK || packet.body.size() != 2) return false;
    *id = ReadU16(packet.body, 0);
    return *id != 0;
}

bool ParseSuback(const mqtt::Packet& packet, std::uint16_t* id, std::vector<std::uint8_t>* codes) {
    if (packet.type != SUBACK || packet.body.size() < 3) return false;
    *id = ReadU16(packet.body, 0);
    codes->clear();
    for (std::size_t at = 2; at < packet.body.size(); ++at) {
        const std::uint8_t code = static_cast<unsigned char>(packet.body[at]);
        if (code > 2 && code != 0x80) return false;
        codes->push_back(code);
    }
    return *id != 0;
}

bool ParsePingresp(const mqtt::Packet& packet) {
    return packet.type == PINGRESP && packet.body.empty();
}

bool ParsePublish(const mqtt::Packet& packet, Publish* publish) {
    if (packet.type != PUBLISH || packet.body.size() < 2) return false;
    const std::size_t length = ReadU16(packet.body, 0);
    publish->qos = (packet.flags >> 1) & 3;
    publish->retain = packet.flags & 1;
    std::size_t at = 2 + length;
    if (at > packet.body.size() || publish->qos == 3) return false;
    publish->topic = packet.body.substr(2, length);
    // A topic name holds no wildcard and no NUL.
    if (publish->topic.empty() || publish->topic.find_first_of(std::string("+#\0", 3)) != std::string::npos) {
        return false;
    }
    publish->id = 0;
    if (publish->qos > 0) {
        if (at + 2 > packet.body.size()) return false;
        publish->id = ReadU16(packet.body, at);
        if (publish->id == 0) return false;
        at += 2;
    }
    publish->payload = packet.body.substr(at);
    return true;
}

const char* ConnackText(std::uint8_t code) {
    switch (code) {
    case 0:
        return "accepted";
    case 1:
        return "the broker does not speak MQTT 3.1.1";
    case 2:
        return "the client identifier was refused";
    case 3:
        return "the broker is unavailable";
    case 4:
        return "bad user name or password";
    case 5:
        return "not authorized";
    }
    return "refused for a reason MQTT 3.1.1 does not name";
}

}  // namespace mqtt
