#include "MqttSetup.h"

#include <boost/asio/ip/host_name.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "BoundedFile.h"
#include "MachineId.h"
#include "Numbers.h"

bool ParseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* why) {
    std::string rest;
    if (text.compare(0, 7, "mqtt://") == 0) {
        url->tls = false;
        rest = text.substr(7);
    } else if (text.compare(0, 8, "mqtts://") == 0) {
        url->tls = true;
        rest = text.substr(8);
    } else {
        *why = "'" + text + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos) {
        *why = "the URL holds no user or password: give them with --mqtt-password-file or VANTORIX_MQTT_USER "
               "and VANTORIX_MQTT_PASSWORD";
        return false;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) rest.clear();
        url->host = rest.substr(1, close == std::string::npos ? 0 : close - 1);
        if (close != std::string::npos && close + 1 < rest.size()) {
            if (rest[close + 1] != ':') url->host.clear();
            port = rest.substr(close + 2);
            if (port.empty()) url->host.clear();
        }
    } else {
        const std::size_t colon = rest.find(':');
        url->host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) url->host.clear();
        }
    }
    long long number = 0;
    const bool port_ok = port.empty() || (port.size() <= 5 && ParseWhole(port, 1, 65535, Sign::Refused, &number));
    if (url->host.empty() || url->host.find_first_of("/?#[] ") != std::string::npos || !port_ok) {
        *why = "'" + text + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (a port from 1 to 65535; IPv6 in "
               "brackets)";
        return false;
    }
    url->port = port.empty() ? (url->tls ? "8883" : "1883") : port;
    return true;
}

namespace {

// The first line of the file is the user, the second the password.
bool ReadCredentials(const std::string& path, MqttSettings* settings, std::string* why) {
    FileRules rules;
    rules.limit = 4096;
    std::string bytes;
    if (!ReadBoundedFile(path, path, rules, &bytes, why)) {
        if (why->empty()) *why = path + " does not exist";
        return false;
    }
    const auto line = [&](std::size_t* at) {
        const std::size_t end = std::min(bytes.find('\n', *at), bytes.size());
        std::string text = bytes.substr(*at, end - *at);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        *at = end + 1;
        return text;
    };
    std::size_t at = 0;
    settings->user = line(&at);
    settings->has_user = !settings->user.empty();
    if (at <= bytes.size()) {
        settings->password = line(&at);
        settings->has_password = true;
    }
    if (!settings->has_user) {
        *why = path + " holds no user on its first line";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<CMqttClient> StartMqtt(const Options& options, const std::string& version, std::string* why) {
    BrokerUrl url;
    if (!ParseBrokerUrl(options.mqtt, &url, why)) return nullptr;
    MqttSettings settings;
    settings.host = url.host;
    settings.port = url.port;
    const bool v6 = url.host.find(':') != std::string::npos;
    settings.shown = (url.tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + url.host + "]" : url.host) + ":" + url.port;
    if (!options.mqtt_password_file.empty()) {
        std::string problem;
        if (!ReadCredentials(options.mqtt_password_file, &settings, &problem)) {
            *why = "--mqtt-password-file: " + problem;
            return nullptr;
        }
    } else {
        const char* user = std::getenv("VANTORIX_MQTT_USER");
        const char* password = std::getenv("VANTORIX_MQTT_PASSWORD");
        if (user && *user) settings.has_user = true, settings.user = user;
        if (password) settings.has_password = true, settings.password = password;
        if (settings.has_password && !settings.has_user) {
            *why = "VANTORIX_MQTT_PASSWORD is set without VANTORIX_MQTT_USER";
            return nullptr;
        }
    }
    if (!url.tls && !options.mqtt_ca_file.empty()) {
        *why = "--mqtt-ca-file goes with mqtts://";
        return nullptr;
    }
    TransportMaker transports = url.tls ? TlsTransports(url.host, options.mqtt_ca_file, why) : PlainTransports();
    if (!transports) return nullptr;

    boost::system::error_code error;
    const std::string host = boost::asio::ip::host_name(error);
    const std::string machine = MachineId();
    settings.device.id = DeviceId(machine.empty() ? host : machine);
    settings.device.name = error || host.empty() ? "vantorix-" + settings.device.id : host;
    settings.device.version = version;
    settings.device.prefix = options.mqtt_prefix;
    // A hung reader's sensors turn unavailable after three missed reads.
    settings.device.expire_after = std::max(10, static_cast<int>(std::ceil(3 * options.interval + options.timeout)));
    return std::unique_ptr<CMqttClient>(new CMqttClient(settings, std::move(transports)));
}
