// --mqtt from the command line: the broker's URL, the credentials (from a
// file or the environment, never from the command line), this machine as a
// Home Assistant device, and the client started on them.
#ifndef VANTORIX_MQTT_MQTTSETUP_H
#define VANTORIX_MQTT_MQTTSETUP_H

#include <memory>
#include <string>

#include "MqttClient.h"
#include "Options.h"

struct BrokerUrl {
    bool tls = false;
    std::string host, port;
};

// "mqtt://HOST[:PORT]" (1883) or "mqtts://HOST[:PORT]" (8883), an IPv6
// address in brackets; no user, path or query. False with why.
bool ParseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* why);

// The client for options.mqtt, connecting; null with why when the URL, the
// credentials or TLS cannot be used.
std::unique_ptr<CMqttClient> StartMqtt(const Options& options, const std::string& version, std::string* why);

#endif  // VANTORIX_MQTT_MQTTSETUP_H
