#pragma once

#include "device/MqttAdaptor.h"
#include "engine/support/EngineFixture.h"
#include "mqtt/Client.h"
#include "support/MosquittoBroker.h"
#include "support/SimulatedMachine.h"
#include "support/mqtt/Recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace devicetest {

using enginetest::TestEngine;
using nlohmann::json;
using testsupport::Light;
using testsupport::Main;
using testsupport::Psu;
using velt::ZRV480::BoardManager::Manager::Engine;
using velt::ZRV480::BoardManager::Manager::MqttAdaptor;
using velt::ZRV480::Bus::Common::ErrorCode;

// The fixture schema with each (from, to) text replaced once.
std::string fixtureSchemaWith(std::vector<std::pair<std::string, std::string>> const& replacements);

// The service's base topic in these tests.
constexpr char const* Base = "test/boardman";

// The topic `relative` below the base topic.
std::string below(std::string const& relative);

// The device interface as the service wires it, on a simulated machine and a
// private broker: an engine whose bus reaches the simulator (30 ms time-outs
// times the build's time scale, one retransmission, a 20 ms status period),
// the service's MQTT client pointed at the broker, the adaptor built on both,
// and a recorder that subscribed to everything below the base topic before
// anything was published. Nothing is started: tests connect the client and
// start the engine or its bus as they need.
class AdaptorFixture : public ::testing::Test {
protected:
    // The fixture schema, or another schema for the simulator's default boards.
    AdaptorFixture();
    explicit AdaptorFixture(std::string const& schemaXml);

    void SetUp() override;
    void TearDown() override;

    // Starts the client and waits until the adaptor's connection notices went
    // out (the retained "status" is the last that always exists).
    void connect();
    // Engine::start on the simulated machine.
    void startEngine();
    // Without the monitoring thread: the bus started and the main board and
    // `address` initialised, so the getters answer from the caches and the
    // simulator logs only what a test sends.
    void bringUp(uint8_t address);

    // A call as another program makes it: the request on
    // <base>/<name>/request/<id>, the reply taken from the response topic.
    json call(std::string const& name, std::string const& payload, std::string const& id);
    // The topics (relative to the base topic) that the recorder holds, in
    // arrival order, once one on `last` has arrived (bounded wait).
    std::vector<std::string> topicsUntil(std::string const& last);
    // A client that subscribes to `topic` only now, as a late subscriber.
    std::unique_ptr<mqtttest::Recorder> lateSubscriber(std::string const& topic);

    testsupport::SimulatedMachine machine;
    testsupport::MosquittoBroker broker;
    std::shared_ptr<TestEngine> engine;
    std::shared_ptr<MQTT::Client> client;
    std::shared_ptr<MqttAdaptor> adaptor;
    std::unique_ptr<mqtttest::Recorder> recorder;

private:
    bool busStarted = false;
};

} // namespace devicetest
