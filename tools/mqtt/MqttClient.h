// vantorix-info --mqtt: the readings to an MQTT broker, with Home
// Assistant's discovery (Discovery.h). One thread of its own runs the
// connection on Boost.Asio; the reading loop only hands it each reading and
// never waits for it, however slow the broker or the network.
//
// Connected, it subscribes to Home Assistant's status (announcing again on
// `online`) and to its own discovery configs (removing, with an empty
// retained config, any sensor this machine no longer has), publishes
// `online` (retained; the will says `offline`), every sensor's config
// (retained) and each reading's state. Lost, it connects again after 1, 2,
// 4 ... 30 s (from 1 s again once a broker has answered its subscription)
// and announces again. What waits to be sent is bounded: the
// oldest states are dropped first. A broker that answers nothing for one
// and a half keepalives, or sends a malformed or oversized packet, is left;
// each trouble is logged once until a broker has answered a subscription.
#ifndef VANTORIX_MQTT_MQTTCLIENT_H
#define VANTORIX_MQTT_MQTTCLIENT_H

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "Discovery.h"
#include "Reading.h"
#include "Transport.h"

struct MqttSettings {
    std::string host, port;  // the broker
    std::string shown;       // the broker as the log names it: "mqtt://host:1883"
    bool has_user = false, has_password = false;
    std::string user, password;
    Device device;
    int keepalive = 30;  // seconds
};

class CMqttClient {
public:
    // Starts connecting, in the background.
    CMqttClient(const MqttSettings& settings, TransportMaker transports);
    // Stop().
    ~CMqttClient();
    CMqttClient(const CMqttClient&) = delete;
    CMqttClient& operator=(const CMqttClient&) = delete;

    // From any thread, at once.
    void Publish(const Reading& reading);

    // Says `offline` and disconnects, waiting two seconds at most for the
    // broker to take it; then ends the thread. Once.
    void Stop();

    struct State;  // the connection's, on its own thread

private:
    std::shared_ptr<State> state_;
    std::future<void> finished_;  // the loop's end
    std::thread thread_;  // runs the connection's loop
};

#endif  // VANTORIX_MQTT_MQTTCLIENT_H
