// Home Assistant's MQTT discovery for one machine: the sensors a reading
// has, each sensor's retained config and the one state message they all
// read. Pure functions of the reading and the device.
//
// Every sensor reads its value from the state's JSON object under its key,
// and is available only while the device's availability topic says
// `online` and its own value is not null: a reading the monitor did not
// report, or a monitor that is gone or not responding, shows as unavailable,
// never as 0 or as the last value.
#ifndef VANTORIX_MQTT_DISCOVERY_H
#define VANTORIX_MQTT_DISCOVERY_H

#include <string>
#include <vector>

#include "Reading.h"

struct Device {
    std::string id;       // stable, [a-z0-9_] only: from the machine's id
    std::string name;     // this machine's host name
    std::string version;  // ours
    std::string prefix = "homeassistant";  // discovery's topic prefix
    int expire_after = 30;                  // seconds without a state before HA calls a sensor unavailable
};

// One sensor: its key in the state object and what Home Assistant is told.
struct Sensor {
    std::string key;           // "core0_temperature"
    std::string name;          // "Core 0 temperature"
    std::string device_class;  // "temperature", "frequency", "voltage", or "" (a load)
    std::string unit;          // "°C", "°F", "%", "MHz", "V"
};

// The sensors of a reading: per core temperature and load, the hottest
// core, the clock and VID where reported. None for a failed read, whose
// sensors are not known.
std::vector<Sensor> SensorsOf(const Reading& reading);

// Topics.
std::string BaseTopic(const Device& device);  // "vantorix/<id>"
std::string AvailabilityTopic(const Device& device);
std::string StateTopic(const Device& device);
std::string ConfigTopic(const Device& device, const std::string& key);
// The filter that matches every config topic of this device, and the key
// in one of those topics ("" for another topic).
std::string ConfigFilter(const Device& device);
std::string KeyOfConfigTopic(const Device& device, const std::string& topic);

// A sensor's retained config; `model` is the processor's name.
std::string ConfigPayload(const Device& device, const std::string& model, const Sensor& sensor);

// The state of `sensors` after `reading`: an object of every key, null for
// what is not available now.
std::string StatePayload(const Reading& reading, const std::vector<Sensor>& sensors);

// A machine id as a Device id: lower case letters, digits and '_' only.
std::string DeviceId(const std::string& machine_id);

#endif  // VANTORIX_MQTT_DISCOVERY_H
