// The MQTT codec on whatever a broker might send: packets are taken and
// parsed until the bytes run out or one is refused, with no read outside
// the buffer and no packet above the bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "MqttCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string buffer(reinterpret_cast<const char*>(data), size);
    const std::size_t limit = 256;
    for (;;) {
        mqtt::Packet packet;
        std::string why;
        const std::size_t before = buffer.size();
        if (mqtt::TakePacket(&buffer, limit, &packet, &why) != mqtt::Take::Packet) break;
        if (buffer.size() >= before || packet.body.size() + 2 > limit) std::abort();
        mqtt::Connack connack;
        mqtt::Publish publish;
        std::uint16_t id = 0;
        std::vector<std::uint8_t> codes;
        mqtt::ParseConnack(packet, &connack);
        mqtt::ParsePuback(packet, &id);
        mqtt::ParseSuback(packet, &id, &codes);
        mqtt::ParsePingresp(packet);
        if (mqtt::ParsePublish(packet, &publish) && publish.topic.size() + publish.payload.size() > packet.body.size()) {
            std::abort();
        }
    }
    return 0;
}
