#include "support/AdaptorFixture.h"

#include "foundation/Utils.h"
#include "mqtt/Config.h"
#include "support/TimeScale.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace devicetest {

namespace {

constexpr int WaitMs = 5000;

} // namespace

std::string below(std::string const& relative) {
    return Utils::combinePath(Base, relative);
}

std::string
fixtureSchemaWith(std::vector<std::pair<std::string, std::string>> const& replacements) {
    std::string xml = testsupport::SimulatedMachine::fixtureSchemaXml();
    for (auto const& replacement : replacements) {
        auto const at = xml.find(replacement.first);
        EXPECT_NE(at, std::string::npos) << replacement.first;
        if (at != std::string::npos) {
            xml.replace(at, replacement.first.size(), replacement.second);
        }
    }
    return xml;
}

AdaptorFixture::AdaptorFixture()
    : AdaptorFixture(testsupport::SimulatedMachine::fixtureSchemaXml()) {}

AdaptorFixture::AdaptorFixture(std::string const& schemaXml)
    : machine(testsupport::SimulatedMachine::defaultScenario(), schemaXml) {}

void AdaptorFixture::SetUp() {
    ASSERT_TRUE(broker.start()) << broker.logText();
    std::string const appDir = machine.dir.path("app");
    ASSERT_EQ(::mkdir(appDir.c_str(), 0755), 0);

    engine = std::make_shared<TestEngine>(machine.schema,
                                          Engine::Paths{appDir, machine.dir.path("copies")});
    // Before anything is sent: the bus reaches the simulator, never the
    // machine's default gateway.
    engine->parser.socketConfigSet(machine.socketConfig());
    engine->setDeviceConfig(
        {{"timeoutMs", 30 * testsupport::TimeScale}, {"retransmissions", 1}, {"statusPeriod", 20}});

    client = std::make_shared<MQTT::Client>(Base, "MQTT");
    MQTT::Config settings(Base, "MQTT");
    settings.setUrl(broker.url());
    client->setConfig(settings);

    adaptor = std::make_shared<MqttAdaptor>(engine, client);

    recorder = std::make_unique<mqtttest::Recorder>(broker.url());
    ASSERT_TRUE(recorder->connect());
    ASSERT_TRUE(recorder->subscribe(below("#")));
}

void AdaptorFixture::TearDown() {
    // The engine's stop reaches the adaptor, which stops the client; the
    // client's tree holds nodes bound to the engine's signals, so it goes
    // before the engine.
    if (engine) {
        engine->stop();
    }
    if (client) {
        client->stop();
        // As the service does: no late notice may reach the adaptor, which
        // goes first.
        client->close();
    }
    recorder.reset();
    adaptor.reset();
    client.reset();
    engine.reset();
}

void AdaptorFixture::connect() {
    client->start();
    ASSERT_TRUE(client->waitConnected(WaitMs));
    mqtttest::Received status;
    ASSERT_TRUE(recorder->take(below("status"), status, WaitMs));
}

void AdaptorFixture::startEngine() {
    engine->start();
    ASSERT_TRUE(engine->getIsRunning());
}

void AdaptorFixture::bringUp(uint8_t address) {
    if (!busStarted) {
        engine->parser.start();
        busStarted = true;
    }
    ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    if (address != Main) {
        ASSERT_EQ(engine->boardInitStartup(address), ErrorCode::Success);
    }
}

json AdaptorFixture::call(std::string const& name, std::string const& payload,
                          std::string const& id) {
    std::string const call = below(name);
    if (!recorder->publish(call + "/request/" + id, payload)) {
        return "request not published";
    }
    std::string const reply = recorder->takePayload(call + "/response/" + id, WaitMs);
    return reply.empty() ? json("no reply") : json::parse(reply, nullptr, false);
}

std::vector<std::string> AdaptorFixture::topicsUntil(std::string const& last) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<std::string> topics;
        for (auto const& message : recorder->pending()) {
            topics.push_back(message.topic.substr(std::string(Base).size() + 1));
        }
        if (std::find(topics.begin(), topics.end(), last) != topics.end()) {
            return topics;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

std::unique_ptr<mqtttest::Recorder> AdaptorFixture::lateSubscriber(std::string const& topic) {
    auto late = std::make_unique<mqtttest::Recorder>(broker.url());
    EXPECT_TRUE(late->connect());
    EXPECT_TRUE(late->subscribe(topic));
    return late;
}

} // namespace devicetest
