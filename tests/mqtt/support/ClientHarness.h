#pragma once

#include <memory>
#include <string>

#include "mqtt/Client.h"
#include "support/MosquittoBroker.h"
#include "support/mqtt/Recorder.h"

namespace mqtttest {

// A private broker, a client under test with the given base topic pointed
// at it, and a recorder that watches every topic and plays the other
// programs. The client is built but not started.
class ClientHarness {
public:
    explicit ClientHarness(std::string base = "b");
    ~ClientHarness();

    // Starts the client and waits until it is connected and every
    // subscription it made is in effect at the broker.
    bool startClient();
    // After a (re)connection: true once its subscriptions are in effect.
    bool settled();
    // True once every subscription requested so far is in effect.
    bool probe();
    MQTT::Config settings() const;

    std::string const base;

    testsupport::MosquittoBroker broker;
    std::unique_ptr<MQTT::Client> client;
    std::unique_ptr<Recorder> recorder;

private:
    int probes = 0;
};

} // namespace mqtttest
