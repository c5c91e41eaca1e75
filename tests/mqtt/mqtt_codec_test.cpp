// The MQTT codec: what a broker sends, whole, split or hostile, is taken
// only when every length checks out; and what we send is the bytes 3.1.1
// prescribes, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "MqttCodec.h"

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (const int byte : bytes) out += static_cast<char>(byte);
    return out;
}

}  // namespace

TEST(MqttCodec, BrokerPacketsAreTakenOnlyWhenWhole) {
    const std::size_t LIMIT = 64;
    const struct {
        const char* what;
        std::string bytes;
        mqtt::Take take;
        bool parses;  // the body, where a packet was taken
    } cases[] = {
        {"CONNACK accepted", Bytes({0x20, 2, 0, 0}), mqtt::Take::Packet, true},
        {"CONNACK, a bad acknowledge byte", Bytes({0x20, 2, 2, 0}), mqtt::Take::Packet, false},
        {"CONNACK too long", Bytes({0x20, 3, 0, 0, 0}), mqtt::Take::Packet, false},
        {"CONNACK with flags", Bytes({0x21, 2, 0, 0}), mqtt::Take::Malformed, false},
        {"CONNACK cut short", Bytes({0x20, 2, 0}), mqtt::Take::NeedMore, false},
        {"nothing yet", "", mqtt::Take::NeedMore, false},
        {"PUBACK", Bytes({0x40, 2, 0, 7}), mqtt::Take::Packet, true},
        {"PUBACK of id 0", Bytes({0x40, 2, 0, 0}), mqtt::Take::Packet, false},
        {"PUBACK short", Bytes({0x40, 1, 0}), mqtt::Take::Packet, false},
        {"PINGRESP", Bytes({0xD0, 0}), mqtt::Take::Packet, true},
        {"PINGRESP with a body", Bytes({0xD0, 1, 0}), mqtt::Take::Packet, false},
        {"SUBACK", Bytes({0x90, 4, 0, 1, 0, 0x80}), mqtt::Take::Packet, true},
        {"SUBACK, an unknown code", Bytes({0x90, 3, 0, 1, 3}), mqtt::Take::Packet, false},
        {"SUBACK, no code", Bytes({0x90, 2, 0, 1}), mqtt::Take::Packet, false},
        {"PUBLISH QoS 0", Bytes({0x31, 5, 0, 1, 'a', 'o', 'n'}), mqtt::Take::Packet, true},
        {"PUBLISH QoS 1", Bytes({0x32, 5, 0, 1, 'a', 0, 9}), mqtt::Take::Packet, true},
        {"PUBLISH QoS 1 of id 0", Bytes({0x32, 5, 0, 1, 'a', 0, 0}), mqtt::Take::Packet, false},
        {"PUBLISH QoS 1 without id", Bytes({0x32, 3, 0, 1, 'a'}), mqtt::Take::Packet, false},
        {"PUBLISH QoS 3", Bytes({0x36, 3, 0, 1, 'a'}), mqtt::Take::Malformed, false},
        {"PUBLISH, topic past the end", Bytes({0x30, 3, 0xFF, 0xFF, 'a'}), mqtt::Take::Packet, false},
        {"PUBLISH, empty topic", Bytes({0x30, 2, 0, 0}), mqtt::Take::Packet, false},
        {"PUBLISH, wildcard topic", Bytes({0x30, 3, 0, 1, '#'}), mqtt::Take::Packet, false},
        {"PUBLISH, NUL in topic", Bytes({0x30, 3, 0, 1, 0}), mqtt::Take::Packet, false},
        {"PUBLISH, no topic length", Bytes({0x30, 1, 0}), mqtt::Take::Packet, false},
        {"a CONNECT from a broker", Bytes({0x10, 0}), mqtt::Take::Malformed, false},
        {"a SUBSCRIBE from a broker", Bytes({0x82, 0}), mqtt::Take::Malformed, false},
        {"type 0", Bytes({0x00, 0}), mqtt::Take::Malformed, false},
        {"type 15", Bytes({0xF0, 0}), mqtt::Take::Malformed, false},
        {"five length bytes", Bytes({0x30, 0x80, 0x80, 0x80, 0x80, 0x01}), mqtt::Take::Malformed, false},
        {"four length bytes, still going", Bytes({0x30, 0x80, 0x80, 0x80, 0x80}), mqtt::Take::Malformed, false},
        {"the largest length", Bytes({0x30, 0xFF, 0xFF, 0xFF, 0x7F}), mqtt::Take::TooLarge, false},
        {"above the limit", Bytes({0x30, 63}), mqtt::Take::TooLarge, false},
        {"at the limit, not all there", Bytes({0x30, 62, 0, 1, 'a'}), mqtt::Take::NeedMore, false},
        {"a length not all there", Bytes({0x30, 0x80}), mqtt::Take::NeedMore, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const bool whole = test.take == mqtt::Take::Packet;
        std::string buffer = test.bytes + (whole ? Bytes({0xD0, 0}) : "");  // a PINGRESP follows a whole one
        mqtt::Packet packet;
        std::string why;
        const mqtt::Take take = mqtt::TakePacket(&buffer, LIMIT, &packet, &why);
        ASSERT_EQ(static_cast<int>(test.take), static_cast<int>(take));
        if (take != mqtt::Take::Packet) {
            EXPECT_EQ(take == mqtt::Take::NeedMore, why.empty());
            continue;
        }
        // The packet's bytes are gone, the next one is whole.
        EXPECT_EQ(Bytes({0xD0, 0}), buffer);
        mqtt::Connack connack;
        mqtt::Publish publish;
        std::uint16_t id = 0;
        std::vector<std::uint8_t> codes;
        const bool parsed = mqtt::ParseConnack(packet, &connack) || mqtt::ParsePuback(packet, &id) ||
                            mqtt::ParsePingresp(packet) || mqtt::ParseSuback(packet, &id, &codes) ||
                            mqtt::ParsePublish(packet, &publish);
        EXPECT_EQ(test.parses, parsed);
    }
    // Split anywhere, a packet is taken once it is whole.
    const std::string publish = Bytes({0x32, 9, 0, 3, 'a', '/', 'b', 0, 9, 'x', 'y'});
    mqtt::Packet packet;
    std::string why, buffer;
    for (const char byte : publish) {
        ASSERT_EQ(static_cast<int>(mqtt::Take::NeedMore), static_cast<int>(mqtt::TakePacket(&buffer, 64, &packet, &why)));
        buffer += byte;
    }
    ASSERT_EQ(static_cast<int>(mqtt::Take::Packet), static_cast<int>(mqtt::TakePacket(&buffer, 64, &packet, &why)));
    mqtt::Publish parsed;
    ASSERT_TRUE(mqtt::ParsePublish(packet, &parsed));
    EXPECT_EQ("a/b", parsed.topic);
    EXPECT_EQ("xy", parsed.payload);
    EXPECT_EQ(9, parsed.id);
    EXPECT_EQ(1, parsed.qos);
}

TEST(MqttCodec, OurPacketsAreTheBytesTheProtocolSays) {
    mqtt::Connect connect;
    connect.client_id = "c";
    connect.keepalive = 30;
    connect.has_user = connect.has_password = true;
    connect.user = "u";
    connect.password = "p";
    connect.will_topic = "w";
    connect.will_payload = "off";
    connect.will_retain = true;
    connect.will_qos = 1;
    EXPECT_EQ(Bytes({0x10, 27, 0, 4, 'M', 'Q', 'T', 'T', 4, 0xEE, 0, 30, 0, 1, 'c', 0, 1, 'w', 0, 3, 'o', 'f', 'f', 0,
                     1, 'u', 0, 1, 'p'}),
              mqtt::EncodeConnect(connect));
    connect.has_user = connect.has_password = false;
    connect.will_topic.clear();
    EXPECT_EQ(Bytes({0x10, 13, 0, 4, 'M', 'Q', 'T', 'T', 4, 0x02, 0, 30, 0, 1, 'c'}), mqtt::EncodeConnect(connect));
    EXPECT_EQ(Bytes({0x33, 6, 0, 1, 't', 0x12, 0x34, 'v'}), mqtt::EncodePublish("t", "v", 1, true, 0x1234));
    EXPECT_EQ(Bytes({0x30, 3, 0, 1, 't'}), mqtt::EncodePublish("t", "", 0, false, 0));
    // A remaining length of two bytes: 200 = 0xC8 0x01.
    const std::string large = mqtt::EncodePublish("t", std::string(197, 'x'), 0, false, 0);
    EXPECT_EQ(Bytes({0x30, 0xC8, 0x01, 0, 1, 't'}), large.substr(0, 6));
    EXPECT_EQ(203u, large.size());
    EXPECT_EQ(Bytes({0x82, 10, 0, 5, 0, 1, 'a', 0, 0, 1, 'b', 0}), mqtt::EncodeSubscribe(5, {"a", "b"}));
    EXPECT_EQ(Bytes({0x40, 2, 0x12, 0x34}), mqtt::EncodePuback(0x1234));
    EXPECT_EQ(Bytes({0xC0, 0}), mqtt::EncodePingreq());
    EXPECT_EQ(Bytes({0xE0, 0}), mqtt::EncodeDisconnect());
}
