#pragma once

#include <mqtt/async_client.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mqtttest {

// One message as the broker delivered it: MQTT's own QoS number.
struct Received {
    std::string topic;
    std::string payload;
    bool retained;
    int qos;
};

// A plain Paho client on a test broker that records every message it
// receives, for tests that watch what the service publishes and send it
// requests as another program would. Every wait is bounded.
class Recorder : public virtual mqtt::callback {
public:
    // url as "127.0.0.1:<port>"; an empty client id makes a unique one.
    explicit Recorder(std::string const& url, std::string const& clientId = "");
    ~Recorder() override;
    Recorder(Recorder const&) = delete;
    Recorder& operator=(Recorder const&) = delete;

    // Each waits for the broker's answer; false on failure or time-out.
    bool connect(std::string const& username = "", std::string const& password = "");
    bool subscribe(std::string const& filter, int qos = 0);
    bool unsubscribe(std::string const& filter);
    bool publish(std::string const& topic, std::string const& payload, int qos = 0,
                 bool retained = false);

    // Takes the oldest unclaimed message on exactly this topic, waiting at
    // most timeoutMs for it; false when none came.
    bool take(std::string const& topic, Received& message, int timeoutMs = 5000);
    // Like take, returning only the payload ("" when none came).
    std::string takePayload(std::string const& topic, int timeoutMs = 5000);
    // True when no message on the topic arrives within timeoutMs.
    bool quiet(std::string const& topic, int timeoutMs);
    // Every message not yet taken, in arrival order.
    std::vector<Received> pending() const;
    void clear();

private:
    void message_arrived(mqtt::const_message_ptr message) override;

    std::unique_ptr<mqtt::async_client> client;
    mutable std::mutex mutex; // guards messages
    std::condition_variable arrived;
    std::deque<Received> messages;
};

} // namespace mqtttest
