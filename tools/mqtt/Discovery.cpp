#include "Discovery.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "Outputs.h"
#include "Text.h"

namespace {

bool Usable(const Reading& reading) {
    return reading.status == Reading::Status::Ok && reading.liveness != Liveness::Stopped;
}

std::string Core(int core) {
    return "core" + std::to_string(core);
}

// A float of the record, or null where it is not a number.
Json Number(float value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

}  // namespace

std::vector<Sensor> SensorsOf(const Reading& reading) {
    std::vector<Sensor> sensors;
    if (reading.status != Reading::Status::Ok) return sensors;
    const vantorix_shared_data& r = reading.record;
    const std::string degrees = r.fahrenheit ? "\xC2\xB0" "F" : "\xC2\xB0" "C";
    const std::string what = r.distance_to_tj_max ? " below TjMax" : " temperature";
    const int cores = ShownCores(r);
    for (int core = 0; core < cores; ++core) {
        const std::string name = "Core " + std::to_string(core);
        sensors.push_back({Core(core) + "_temperature", name + what, "temperature", degrees});
        sensors.push_back({Core(core) + "_load", name + " load", "", "%"});
    }
    if (cores > 0) {
        sensors.push_back({"hottest_temperature", r.distance_to_tj_max ? "Hottest core below TjMax" : "Hottest core",
                           "temperature", degrees});
    }
    if (Reported(r.cpu_clock)) sensors.push_back({"clock", "Clock", "frequency", "MHz"});
    if (Reported(r.vid_value)) sensors.push_back({"vid", "VID", "voltage", "V"});
    return sensors;
}

std::string BaseTopic(const Device& device) {
    return "vantorix/" + device.id;
}

std::string AvailabilityTopic(const Device& device) {
    return BaseTopic(device) + "/availability";
}

std::string StateTopic(const Device& device) {
    return BaseTopic(device) + "/state";
}

std::string ConfigTopic(const Device& device, const std::string& key) {
    return device.prefix + "/sensor/vantorix_" + device.id + "/" + key + "/config";
}

std::string ConfigFilter(const Device& device) {
    return device.prefix + "/sensor/vantorix_" + device.id + "/+/config";
}

std::string KeyOfConfigTopic(const Device& device, const std::string& topic) {
    const std::string head = device.prefix + "/sensor/vantorix_" + device.id + "/", tail = "/config";
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
        return "";
    }
    const std::string key = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    return key.find('/') == std::string::npos ? key : "";
}

std::string ConfigPayload(const Device& device, const std::string& model, const Sensor& sensor) {
    const std::string unique = "vantorix_" + device.id + "_" + sensor.key;
    Json config;
    config["name"] = sensor.name;
    config["unique_id"] = unique;
    config["object_id"] = unique;
    config["state_topic"] = StateTopic(device);
    config["value_template"] = "{{ value_json." + sensor.key + " }}";
    config["availability"] = Json::array(
        {Json{{"topic", AvailabilityTopic(device)}},
         Json{{"topic", StateTopic(device)},
              {"value_template", "{{ 'online' if value_json." + sensor.key + " is number else 'offline' }}"}}});
    config["availability_mode"] = "all";
    if (!sensor.device_class.empty()) config["device_class"] = sensor.device_class;
    config["unit_of_measurement"] = sensor.unit;
    config["state_class"] = "measurement";
    config["expire_after"] = device.expire_after;
    config["device"] = Json{{"identifiers", Json::array({"vantorix_" + device.id})},
                            {"name", device.name},
                            {"model", model},
                            {"sw_version", device.version}};
    return config.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string StatePayload(const Reading& reading, const std::vector<Sensor>& sensors) {
    Json state = Json::object();
    const vantorix_shared_data& r = reading.record;
    const bool usable = Usable(reading);
    const int cores = ShownCores(r);
    Json hottest = nullptr;
    for (int core = 0; usable && core < cores; ++core) {
        if (!TemperatureReported(r, core) || !std::isfinite(r.temp[core])) continue;
        if (hottest.is_null() || (r.distance_to_tj_max ? r.temp[core] < hottest.get<float>()
                                                       : r.temp[core] > hottest.get<float>())) {
            hottest = r.temp[core];
        }
    }
    for (const Sensor& sensor : sensors) {
        Json value = nullptr;
        const std::string& key = sensor.key;
        if (!usable) {
        } else if (key == "hottest_temperature") {
            value = hottest;
        } else if (key == "clock") {
            if (Reported(r.cpu_clock)) value = Number(r.cpu_clock);
        } else if (key == "vid") {
            if (Reported(r.vid_value)) value = Number(r.vid_value);
        } else {
            const int core = std::atoi(key.c_str() + 4);
            const bool load = key.find("_load") != std::string::npos;
            if (core < 0 || core >= cores) {
            } else if (load) {
                value = r.core_load[core];
            } else if (TemperatureReported(r, core)) {
                value = Number(r.temp[core]);
            }
        }
        state[key] = value;
    }
    return state.dump();
}

std::string DeviceId(const std::string& machine_id) {
    std::string id;
    for (const char c : machine_id) {
        if (std::isalnum(static_cast<unsigned char>(c))) id += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return id.empty() ? "unknown" : id;
}
