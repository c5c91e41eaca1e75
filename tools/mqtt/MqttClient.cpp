#include "MqttClient.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <future>
#include <set>
#include <thread>

#include "MqttCodec.h"
#include "Text.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// The largest packet taken from a broker: our own configs come back to us
// (a few hundred bytes each), Home Assistant's status is a word.
const std::size_t MAX_PACKET = 16384;
// What may wait to be sent: the announcement of a 256-core machine (513
// configs, each under 1 KiB), and states beyond that are dropped oldest first.
const std::size_t MAX_QUEUED = 1024;
const int MAX_BACKOFF_SECONDS = 30;
const int CONNECT_SECONDS = 10;

// One connection: its transport and its buffers, kept alive by the
// operations in progress on it.
struct Connection {
    std::unique_ptr<CTransport> transport;
    std::array<char, 4096> chunk;
    std::string inbox;
    std::string writing;  // the packet being written
    bool accepted = false;
};

struct Outgoing {
    std::string bytes;
    bool state = false;  // droppable: a newer state follows
};

}  // namespace

struct CMqttClient::State : std::enable_shared_from_this<CMqttClient::State> {
    MqttSettings settings;
    TransportMaker transports;
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    tcp::resolver resolver{context};
    asio::steady_timer retry{context}, deadline{context}, ping{context};
    std::shared_ptr<Connection> connection;
    std::deque<Outgoing> queue;
    bool writing = false;
    int backoff = 1;
    std::chrono::steady_clock::time_point heard;
    std::uint16_t next_id = 0;
    std::string logged;  // the last trouble logged, until a broker answers a subscription
    bool stopping = false;
    std::uint16_t offline_id = 0;
    bool disconnecting = false;  // DISCONNECT queued: the connection ends once it is written
    bool finished = false;
    std::promise<void> done;  // set once the loop has finished

    Reading latest;
    bool have_reading = false;
    std::vector<Sensor> sensors;  // announced
    std::string model;
    std::set<std::string> retained;  // our configs the broker holds, as it told us

    State(const MqttSettings& given, TransportMaker makers) : settings(given), transports(std::move(makers)) {}

    std::uint16_t Id() {
        if (++next_id == 0) next_id = 1;
        return next_id;
    }

    // Each trouble once, until a connection works again.
    void Log(const std::string& trouble, const std::string& more = "") {
        if (trouble == logged) return;
        logged = trouble;
        std::fprintf(stderr, "vantorix-info: mqtt: %s%s\n", trouble.c_str(), more.c_str());
        std::fflush(stderr);
    }

    void Start() {
        if (stopping) return;
        auto self = shared_from_this();
        connection = std::make_shared<Connection>();
        connection->transport = transports(context);
        deadline.expires_after(std::chrono::seconds(CONNECT_SECONDS));
        deadline.async_wait([self, c = connection](const error_code& error) {
            if (!error && c == self->connection && !c->accepted) {
                self->Lost(c, self->settings.shown + " did not accept the connection within " +
                                  std::to_string(CONNECT_SECONDS) + " s");
            }
        });
        resolver.async_resolve(settings.host, settings.port,
                               [self, c = connection](const error_code& error, tcp::resolver::results_type found) {
                                   if (c != self->connection) return;
                                   if (error) {
                                       return self->Lost(c, "cannot find " + self->settings.shown + ": " +
                                                                error.message());
                                   }
                                   c->transport->Connect(found, [self, c](const error_code& failed) {
                                       if (c != self->connection) return;
                                       if (failed) {
                                           return self->Lost(c, "cannot connect to " + self->settings.shown + ": " +
                                                                    failed.message());
                                       }
                                       self->Connected(c);
                                   });
                               });
    }

    void Connected(const std::shared_ptr<Connection>& c) {
        if (stopping) return Finish();
        mqtt::Connect connect;
        connect.client_id = "vantorix-" + settings.device.id.substr(0, 14);
        connect.keepalive = static_cast<std::uint16_t>(settings.keepalive);
        connect.has_user = settings.has_user;
        connect.user = settings.user;
        connect.has_password = settings.has_password;
        connect.password = settings.password;
        connect.will_topic = AvailabilityTopic(settings.device);
        connect.will_payload = "offline";
        connect.will_retain = true;
        connect.will_qos = 1;
        Send(mqtt::EncodeConnect(connect));
        heard = std::chrono::steady_clock::now();
        Read(c);
    }

    // Lost or left: closed, and tried again after the backoff.
    void Lost(const std::shared_ptr<Connection>& c, const std::string& trouble) {
        if (c != connection) return;
        if (stopping) return Finish();
        Log(trouble, "; connecting again in " + std::to_string(backoff) + " s");
        c->transport->Close();
        connection.reset();
        queue.clear();
        writing = false;
        deadline.cancel();
        ping.cancel();
        retry.expires_after(std::chrono::seconds(backoff));
        backoff = std::min(backoff * 2, MAX_BACKOFF_SECONDS);
        retry.async_wait([self = shared_from_this()](const error_code& error) {
            if (!error) self->Start();
        });
    }

    void Read(const std::shared_ptr<Connection>& c) {
        c->transport->ReadSome(asio::buffer(c->chunk), [self = shared_from_this(), c](const error_code& error,
                                                                                      std::size_t size) {
            if (c != self->connection) return;
            if (error) {
                return self->Lost(c, self->settings.shown + " closed the connection" +
                                         (error == asio::error::eof ? std::string() : ": " + error.message()));
            }
            c->inbox.append(c->chunk.data(), size);
            self->heard = std::chrono::steady_clock::now();
            for (;;) {
                mqtt::Packet packet;
                std::string why;
                const mqtt::Take taken = mqtt::TakePacket(&c->inbox, MAX_PACKET, &packet, &why);
                if (taken == mqtt::Take::NeedMore) break;
                if (taken != mqtt::Take::Packet) {
                    return self->Lost(c, self->settings.shown + " sent " +
                                             (taken == mqtt::Take::TooLarge ? "an oversized" : "a malformed") +
                                             " packet (" + why + "); the connection is closed");
                }
                if (!self->Handle(c, packet)) return;
            }
            self->Read(c);
        });
    }

    // False once the connection is gone.
    bool Handle(const std::shared_ptr<Connection>& c, const mqtt::Packet& packet) {
        const auto malformed = [&](const char* what) {
            Lost(c, settings.shown + " sent a malformed " + what + "; the connection is closed");
            return false;
        };
        if (!c->accepted && packet.type != mqtt::CONNACK) return malformed("packet before its CONNACK");
        switch (packet.type) {
        case mqtt::CONNACK: {
            mqtt::Connack connack;
            if (c->accepted || !mqtt::ParseConnack(packet, &connack)) return malformed("CONNACK");
            if (connack.code != 0) {
                Lost(c, settings.shown + " refused the connection: " + mqtt::ConnackText(connack.code));
                return false;
            }
            Accepted(c);
            return true;
        }
        case mqtt::PUBLISH: {
            mqtt::Publish publish;
            if (!mqtt::ParsePublish(packet, &publish)) return malformed("PUBLISH");
            if (publish.qos == 1) Send(mqtt::EncodePuback(publish.id));
            Received(publish);
            return true;
        }
        case mqtt::PUBACK: {
            std::uint16_t id = 0;
            if (!mqtt::ParsePuback(packet, &id)) return malformed("PUBACK");
            if (stopping && id == offline_id && !disconnecting) {
                disconnecting = true;
                Send(mqtt::EncodeDisconnect());
            }
            return true;
        }
        case mqtt::SUBACK: {
            std::uint16_t id = 0;
            std::vector<std::uint8_t> codes;
            if (!mqtt::ParseSuback(packet, &id, &codes)) return malformed("SUBACK");
            // The broker works: the next trouble is logged, after a backoff from the start.
            backoff = 1;
            if (!logged.empty()) {
                std::fprintf(stderr, "vantorix-info: mqtt: connected to %s\n", settings.shown.c_str());
                std::fflush(stderr);
                logged.clear();
            }
            if (std::find(codes.begin(), codes.end(), 0x80) != codes.end()) {
                Log(settings.shown + " refused a subscription: Home Assistant's restarts or removed cores may "
                                     "go unnoticed");
            }
            return true;
        }
        case mqtt::PINGRESP:
            if (!mqtt::ParsePingresp(packet)) return malformed("PINGRESP");
            return true;
        }
        return malformed("packet");
    }

    void Accepted(const std::shared_ptr<Connection>& c) {
        c->accepted = true;
        deadline.cancel();
        Send(mqtt::EncodeSubscribe(Id(), {settings.device.prefix + "/status", ConfigFilter(settings.device)}));
        Announce();
        Ping(c);
    }

    void Ping(const std::shared_ptr<Connection>& c) {
        ping.expires_after(std::chrono::seconds(std::max(1, settings.keepalive / 2)));
        ping.async_wait([self = shared_from_this(), c](const error_code& error) {
            if (error || c != self->connection) return;
            const auto silent = std::chrono::steady_clock::now() - self->heard;
            if (silent > std::chrono::milliseconds(self->settings.keepalive * 1500)) {
                return self->Lost(c, self->settings.shown + " stopped answering");
            }
            self->Send(mqtt::EncodePingreq());
            self->Ping(c);
        });
    }

    // online (when `online`), every sensor's config, the configs of sensors
    // gone, the state.
    void Announce(bool online = true) {
        if (online) Send(mqtt::EncodePublish(AvailabilityTopic(settings.device), "online", 1, true, Id()));
        for (const Sensor& sensor : sensors) {
            Send(mqtt::EncodePublish(ConfigTopic(settings.device, sensor.key),
                                     ConfigPayload(settings.device, model, sensor), 1, true, Id()));
        }
        RemoveOthers();
        if (have_reading) SendState();
    }

    // Empty retained configs for the sensors the broker holds that this
    // machine no longer has; not before the sensors are known.
    void RemoveOthers() {
        if (sensors.empty()) return;
        for (auto key = retained.begin(); key != retained.end();) {
            const bool kept = std::any_of(sensors.begin(), sensors.end(),
                                          [&](const Sensor& sensor) { return sensor.key == *key; });
            if (kept) {
                ++key;
                continue;
            }
            Send(mqtt::EncodePublish(ConfigTopic(settings.device, *key), "", 1, true, Id()));
            key = retained.erase(key);
        }
    }

    void Received(const mqtt::Publish& publish) {
        if (publish.topic == settings.device.prefix + "/status") {
            if (publish.payload == "online") Announce();
            return;
        }
        const std::string key = KeyOfConfigTopic(settings.device, publish.topic);
        if (key.empty()) return;
        if (publish.payload.empty()) {
            retained.erase(key);
        } else {
            retained.insert(key);
            RemoveOthers();
        }
    }

    void SendState() {
        Send(mqtt::EncodePublish(StateTopic(settings.device), StatePayload(latest, sensors), 0, false, 0), true);
    }

    void OnReading(const Reading& reading) {
        latest = reading;
        have_reading = true;
        std::vector<Sensor> now = SensorsOf(reading);
        // Clock and VID, once announced, stay: a reading missing now and
        // then reads unavailable rather than taking its entity away.
        for (const char* key : {"clock", "vid"}) {
            const auto had = std::find_if(sensors.begin(), sensors.end(), [&](const Sensor& s) { return s.key == key; });
            const bool has = std::any_of(now.begin(), now.end(), [&](const Sensor& s) { return s.key == key; });
            if (!now.empty() && had != sensors.end() && !has) {
                now.insert(std::find_if(now.begin(), now.end(), [](const Sensor& s) { return s.key == "vid"; }), *had);
            }
        }
        const auto same = [](const Sensor& a, const Sensor& b) {
            return a.key == b.key && a.name == b.name && a.unit == b.unit;
        };
        const std::string cpu = reading.status == Reading::Status::Ok ? CpuName(reading.record) : model;
        const bool changed = !now.empty() && (now.size() != sensors.size() ||
                                              !std::equal(now.begin(), now.end(), sensors.begin(), same) ||
                                              cpu != model);
        if (changed) {
            for (const Sensor& sensor : sensors) retained.insert(sensor.key);  // sent before: removed if gone
            sensors = std::move(now);
            model = cpu;
            if (connection && connection->accepted) return Announce(false);
        }
        if (connection && connection->accepted) SendState();
    }

    // Queued, and written in turn. At the bound the oldest state makes
    // room; with none, a state waits for the next, and anything else
    // drops the oldest packet (a broker that takes nothing for that long is
    // left by the keepalive, and announced to again).
    void Send(std::string bytes, bool state = false) {
        if (!connection) return;
        if (queue.size() >= MAX_QUEUED) {
            const auto oldest = std::find_if(queue.begin(), queue.end(), [](const Outgoing& out) { return out.state; });
            if (oldest != queue.end()) {
                queue.erase(oldest);
            } else if (state) {
                return;
            } else {
                queue.pop_front();
            }
        }
        queue.push_back({std::move(bytes), state});
        Write();
    }

    void Write() {
        if (writing || queue.empty() || !connection) return;
        writing = true;
        const std::shared_ptr<Connection> c = connection;
        c->writing = std::move(queue.front().bytes);
        queue.pop_front();
        c->transport->Write(asio::buffer(c->writing), [self = shared_from_this(), c](const error_code& error,
                                                                                     std::size_t) {
            if (c != self->connection) return;
            self->writing = false;
            if (error) return self->Lost(c, "cannot write to " + self->settings.shown + ": " + error.message());
            if (self->disconnecting && self->queue.empty()) return self->Finish();
            self->Write();
        });
    }

    // On the thread: `offline`, acknowledged, then DISCONNECT (its write's end closes).
    void BeginStop() {
        stopping = true;
        retry.cancel();
        if (!connection || !connection->accepted) return Finish();
        offline_id = Id();
        Send(mqtt::EncodePublish(AvailabilityTopic(settings.device), "offline", 1, true, offline_id));
        deadline.expires_after(std::chrono::seconds(2));
        deadline.async_wait([self = shared_from_this()](const error_code& error) {
            if (!error) self->Finish();
        });
    }

    void Finish() {
        if (finished) return;
        finished = true;
        if (connection) {
            connection->transport->Close();
            connection.reset();
        }
        resolver.cancel();
        retry.cancel();
        deadline.cancel();
        ping.cancel();
        work.reset();
        context.stop();
        done.set_value();
    }
};

CMqttClient::CMqttClient(const MqttSettings& settings, TransportMaker transports)
    : state_(std::make_shared<State>(settings, std::move(transports))) {
    finished_ = state_->done.get_future();
    asio::post(state_->context, [state = state_] { state->Start(); });
    thread_ = std::thread([state = state_] { state->context.run(); });
}

CMqttClient::~CMqttClient() {
    Stop();
}

void CMqttClient::Publish(const Reading& reading) {
    if (!state_) return;
    asio::post(state_->context, [state = state_, copy = reading] { state->OnReading(copy); });
}

void CMqttClient::Stop() {
    if (!thread_.joinable()) return;
    asio::post(state_->context, [state = state_] { state->BeginStop(); });
    // `offline` acknowledged and DISCONNECT written end the loop; a broker
    // that takes neither is given two seconds.
    finished_.wait_for(std::chrono::seconds(3));
    state_->context.stop();
    thread_.join();
}
