#include "ClientHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "foundation/Utils.h"

namespace mqtttest {

namespace {

constexpr int WaitMs = 5000;

} // namespace

ClientHarness::ClientHarness(std::string baseTopic) : base(std::move(baseTopic)) {
    EXPECT_TRUE(broker.start()) << broker.logText();
    client = std::make_unique<MQTT::Client>(this->base, "MQTT");
    client->setConfig(settings());
    recorder = std::make_unique<Recorder>(broker.url());
    EXPECT_TRUE(recorder->connect());
    EXPECT_TRUE(recorder->subscribe("#", 2));
}

ClientHarness::~ClientHarness() {
    // The client first: it may still publish while it stops.
    client.reset();
    recorder.reset();
}

MQTT::Config ClientHarness::settings() const {
    MQTT::Config config(base, "MQTT");
    config.setUrl(broker.url());
    return config;
}

bool ClientHarness::startClient() {
    client->start();
    return client->waitConnected(WaitMs) && settled();
}

bool ClientHarness::settled() {
    // The client subscribes a connection's topics in one go, then emits
    // connected.
    return client->connected.emittedSemaphore().Wait(WaitMs) && probe();
}

// A probe command subscribed now answers once the broker has taken every
// earlier subscription of the same connection.
bool ClientHarness::probe() {
    std::string const topic = "probe/" + std::to_string(++probes);
    auto seen = std::make_shared<std::atomic<bool>>(false);
    client->subscribeCommand(
        topic, [seen](MQTT::Message const&) { *seen = true; }, true);
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
    while (!*seen && std::chrono::steady_clock::now() < deadline) {
        recorder->publish(Utils::combinePath(base, topic), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    recorder->clear();
    return *seen;
}

} // namespace mqtttest
