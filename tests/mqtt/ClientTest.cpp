#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "foundation/Utils.h"
#include "mqtt/Client.h"
#include "support/ClientHarness.h"
#include "support/LogWatch.h"
#include "support/MosquittoBroker.h"
#include "support/mqtt/Recorder.h"

namespace {

using mqtttest::ClientHarness;
using mqtttest::Received;
using Clock = std::chrono::steady_clock;

constexpr int WaitMs = 5000;

long elapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(ClientLifecycle, ANeverStartedClientMakesNoAttempt) {
    testsupport::LogWatch log;
    ClientHarness harness;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(harness.client->isConnected());
    EXPECT_FALSE(harness.client->waitConnected(0));
    EXPECT_EQ(log.count("[MQTT::Client]"), 0u) << log.text();
    EXPECT_EQ(harness.broker.logText().find(" as " + Utils::getProcessId() + " "),
              std::string::npos);
}

TEST(ClientLifecycle, ConnectsUnderTheProcessIdOrTheConfiguredClientId) {
    testsupport::LogWatch log;
    ClientHarness harness;
    ASSERT_TRUE(harness.startClient());
    EXPECT_TRUE(harness.client->isRunning());
    EXPECT_TRUE(harness.client->isConnected());
    std::string const pid = Utils::getProcessId();
    EXPECT_NE(harness.broker.logText().find(" as " + pid + " "), std::string::npos)
        << harness.broker.logText();
    EXPECT_TRUE(log.waitFor("[MQTT::Client] Connecting to broker:" + harness.broker.url() +
                            " with clientId: " + pid + ")."));
    EXPECT_TRUE(log.waitFor("[MQTT::Client] Connected to broker: '" + harness.broker.url() + "'"));

    MQTT::Config named = harness.settings();
    named.setClientId("svc-under-test");
    harness.client->setConfig(named);
    ASSERT_TRUE(harness.client->waitConnected(WaitMs));
    EXPECT_NE(harness.broker.logText().find(" as svc-under-test "), std::string::npos);
}

TEST(ClientLifecycle, StartAndStopAreIdempotentAndAStopIsNotReconnected) {
    testsupport::LogWatch log;
    ClientHarness harness;
    int stoppingSeen = 0;
    harness.client->stopping.connect([&] { ++stoppingSeen; });
    ASSERT_TRUE(harness.startClient());
    harness.client->start();
    EXPECT_EQ(log.count("Starting..."), 1u);

    auto const before = Clock::now();
    harness.client->stop();
    EXPECT_GE(elapsedMs(before), 200);
    EXPECT_FALSE(harness.client->isRunning());
    harness.client->stop();
    EXPECT_EQ(stoppingSeen, 1);
    EXPECT_EQ(log.count("Stopping..."), 1u);
    EXPECT_TRUE(log.waitFor("[MQTT::Client] Stopped!"));
    EXPECT_TRUE(log.waitFor("Disconnected from broker."));

    // Past the reconnection delay nothing has connected again.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_EQ(log.count("Connected to broker:"), 1u) << log.text();
    EXPECT_FALSE(harness.client->isConnected());

    // A new start connects again.
    EXPECT_TRUE(harness.startClient());
}

TEST(ClientLifecycle, AStopSaysWhetherTheDisconnectedNoticeFollows) {
    struct Case {
        char const* what;
        bool brokerUp;
    };
    for (Case const c : {Case{"connected", true}, Case{"nothing listens", false}}) {
        SCOPED_TRACE(c.what);
        testsupport::LogWatch log;
        ClientHarness harness;
        std::atomic<int> notices{0};
        harness.client->disconnected.connect([&] { ++notices; });
        if (c.brokerUp) {
            ASSERT_TRUE(harness.startClient());
        } else {
            harness.broker.stop();
            harness.client->start();
            ASSERT_TRUE(log.waitFor("Connection failed (reason=", WaitMs)) << log.text();
        }
        // A shutdown waits for the notice only when one comes.
        EXPECT_EQ(harness.client->stop(), c.brokerUp);
        if (c.brokerUp) {
            EXPECT_TRUE(log.waitFor("Disconnected from broker."));
        }
        harness.client->close();
        int const seen = notices;
        EXPECT_EQ(seen, c.brokerUp ? 1 : 0);
        EXPECT_FALSE(harness.client->stop()); // nothing left to stop
    }
}

TEST(ClientLifecycle, EqualSettingsChangeNothing) {
    testsupport::LogWatch log;
    ClientHarness harness;
    ASSERT_TRUE(harness.startClient());
    EXPECT_TRUE(harness.client->setConfig(harness.settings()));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(log.count("Stopping..."), 0u);
    EXPECT_EQ(log.count("Starting..."), 1u);
}

TEST(ClientConnection, ARefusedLoginIsReportedAndRetried) {
    testsupport::LogWatch log;
    testsupport::MosquittoBroker broker("svc", "secret");
    ASSERT_TRUE(broker.start()) << broker.logText();
    MQTT::Client client("b", "MQTT");
    MQTT::Config settings("b", "MQTT");
    settings.setUrl(broker.url());
    client.setConfig(settings);
    client.start();
    EXPECT_TRUE(
        log.waitFor("[MQTT::Client] Connection failed (reason=Not authorized).", 2 * WaitMs, 2))
        << log.text();
    EXPECT_FALSE(client.waitConnected(0));

    // New credentials restart the running client, which then gets in.
    settings.setUsername("svc");
    settings.setPassword("secret");
    client.setConfig(settings);
    EXPECT_TRUE(client.waitConnected(WaitMs));
    EXPECT_TRUE(log.waitFor("Stopping..."));
}

TEST(ClientConnection, AClosedPortTimesOutAndIsRetriedEvery2000Ms) {
    testsupport::LogWatch log;
    testsupport::MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    std::string const url = broker.url();
    broker.stop();
    MQTT::Client client("b", "MQTT");
    MQTT::Config settings("b", "MQTT");
    settings.setUrl(url);
    client.setConfig(settings);
    auto const started = Clock::now();
    client.start();
    EXPECT_TRUE(log.waitFor("Connection failed (reason=Connection timeout).", WaitMs, 2))
        << log.text();
    EXPECT_GE(elapsedMs(started), 2000);

    // The broker comes back: the next attempt gets in.
    ASSERT_TRUE(broker.start());
    EXPECT_TRUE(client.waitConnected(WaitMs));
}

TEST(ClientConnection, AUrlTheLibraryRejectsIsLoggedAndRetried) {
    testsupport::LogWatch log;
    MQTT::Client client("b", "MQTT");
    MQTT::Config settings("b", "MQTT");
    settings.setUrl("nonsense://127.0.0.1:1");
    client.setConfig(settings);
    auto const started = Clock::now();
    client.start();
    EXPECT_TRUE(log.waitFor("[MQTT::Client] Started!"));
    EXPECT_TRUE(log.waitFor("Connection failed (reason=", WaitMs, 2)) << log.text();
    EXPECT_GE(elapsedMs(started), 2000);
    client.stop();

    // A stopped client makes no further attempt.
    size_t const attempts = log.count("Connection failed (reason=");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(log.count("Connection failed (reason="), attempts);
}

TEST(ClientConnection, ARestartedBrokerIsReconnectedAndEverySubscriptionRenewed) {
    testsupport::LogWatch log;
    ClientHarness harness;
    std::atomic<int> disconnects{0};
    harness.client->disconnected.connect([&] { ++disconnects; });
    std::atomic<bool> received{false};
    harness.client->subscribeCommand(
        "x/get", [&](MQTT::Message const& message) { received = message.payload == "again"; },
        true);
    harness.client->start();
    ASSERT_TRUE(log.waitFor("Connected to broker:"));
    // The first connection's "connected" taken here: the wait after the
    // restart must not end on it, before the new subscriptions are sent.
    ASSERT_TRUE(harness.settled());

    harness.recorder.reset();
    ASSERT_TRUE(harness.broker.restart());
    EXPECT_TRUE(log.waitFor("Disconnected from broker."));
    ASSERT_TRUE(log.waitFor("Connected to broker:", WaitMs + 2000, 2));
    EXPECT_EQ(disconnects, 1);
    // One count per connection, kept until taken.
    EXPECT_TRUE(harness.client->waitConnected(1000));
    EXPECT_TRUE(harness.client->waitConnected(1000));
    EXPECT_FALSE(harness.client->waitConnected(0));

    harness.recorder = std::make_unique<mqtttest::Recorder>(harness.broker.url());
    ASSERT_TRUE(harness.recorder->connect());
    ASSERT_TRUE(harness.settled());
    ASSERT_TRUE(harness.recorder->publish("b/x/get", "again", 1));
    for (int i = 0; i < 100 && !received; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(received);
}

TEST(ClientConnection, AUrlChangedFromAMessageHandlerMovesTheClient) {
    testsupport::LogWatch log;
    ClientHarness harness;
    testsupport::MosquittoBroker second;
    ASSERT_TRUE(second.start());
    MQTT::Config moved = harness.settings();
    moved.setUrl(second.url());
    // The handler runs on the library's receive thread, as a "config" write does.
    harness.client->subscribeCommand(
        "config/set", [&](MQTT::Message const&) { harness.client->setConfig(moved); }, true);
    ASSERT_TRUE(harness.startClient());

    ASSERT_TRUE(harness.recorder->publish("b/config/set", "{}"));
    ASSERT_TRUE(harness.client->waitConnected(WaitMs));
    EXPECT_TRUE(log.waitFor("Connected to broker: '" + second.url() + "'"));

    mqtttest::Recorder watcher(second.url());
    ASSERT_TRUE(watcher.connect());
    ASSERT_TRUE(watcher.subscribe("b/#"));
    harness.client->publish(
        MQTT::Message("moved", "yes", MQTT::Retained::No, MQTT::QoS::AtMostOnce), true);
    EXPECT_EQ(watcher.takePayload("b/moved"), "yes");
}

TEST(ClientPublish, JoinsBelowTheBaseAndConvertsTheEnumerations) {
    ClientHarness harness;
    ASSERT_TRUE(harness.startClient());
    harness.client->publish(
        MQTT::Message("x/kept", "1", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce), true);
    harness.client->publish(
        MQTT::Message("x/live", "2", MQTT::Retained::No, MQTT::QoS::AtLeastOnce), true);
    harness.client->publish(
        MQTT::Message("abs/topic", "3", MQTT::Retained::No, MQTT::QoS::ExactlyOnce), false);

    Received message{};
    ASSERT_TRUE(harness.recorder->take("b/x/live", message));
    EXPECT_EQ(message.qos, 1);
    ASSERT_TRUE(harness.recorder->take("abs/topic", message));
    EXPECT_EQ(message.qos, 2);
    EXPECT_EQ(message.payload, "3");

    // Only a late subscriber sees the broker's retained copy.
    mqtttest::Recorder late(harness.broker.url());
    ASSERT_TRUE(late.connect());
    ASSERT_TRUE(late.subscribe("b/x/#", 2));
    ASSERT_TRUE(late.take("b/x/kept", message));
    EXPECT_TRUE(message.retained);
    EXPECT_EQ(message.qos, 0);
    EXPECT_TRUE(late.quiet("b/x/live", 300));
}

TEST(ClientPublish, BaseTopicsWithATrailingSlashOrNoneAtAll) {
    struct BaseCase {
        char const* base;
        char const* topic;
    };
    for (auto const& c : {BaseCase{"b/", "b/x/y"}, BaseCase{"", "x/y"}}) {
        ClientHarness harness(c.base);
        ASSERT_TRUE(harness.startClient());
        harness.client->publish(
            MQTT::Message("x/y", c.base, MQTT::Retained::No, MQTT::QoS::AtMostOnce), true);
        EXPECT_EQ(harness.recorder->takePayload(c.topic), c.base) << c.base;
    }
}

// Each switch adds its own line; the payload shows only with "log/payload".
TEST(ClientLog, SwitchesLogPublishedAndReceivedMessages) {
    struct Switches {
        bool published;
        bool received;
        bool payload;
    };
    for (auto const& c :
         {Switches{false, false, true}, Switches{true, false, false}, Switches{true, false, true},
          Switches{false, true, false}, Switches{false, true, true}}) {
        SCOPED_TRACE(std::to_string(c.published) + std::to_string(c.received) +
                     std::to_string(c.payload));
        testsupport::LogWatch log;
        MQTT::Client client("b", "MQTT");
        MQTT::Config settings("b", "MQTT");
        settings.setLogPublished(c.published);
        settings.setLogReceived(c.received);
        settings.setLogPayload(c.payload);
        client.setConfig(settings);
        // Never started: a publication goes nowhere but is logged all the same.
        client.publish(MQTT::Message("out", "p1", MQTT::Retained::Yes, MQTT::QoS::AtLeastOnce),
                       true);
        client.publish(MQTT::Message("abs", "p2", MQTT::Retained::No, MQTT::QoS::ExactlyOnce),
                       false);
        client.onMessageReceived("b/in", "r1", 1, true);
        client.onMessageReceived("other", "r2", 0, false);

        size_t const published = c.published ? 1 : 0;
        size_t const received = c.received ? 1 : 0;
        EXPECT_EQ(log.count("[MQTT::Client] Publishing retained message (qos=1): b/out"),
                  published);
        EXPECT_EQ(log.count("[MQTT::Client] Publishing message (qos=2): abs"), published);
        EXPECT_EQ(log.count("[MQTT::Client] Retained message received (qos=1): b/in"), received);
        EXPECT_EQ(log.count("[MQTT::Client] New message received (qos=0): other"), received);
        EXPECT_EQ(log.count("b/out : p1"), c.payload ? published : 0);
        EXPECT_EQ(log.count("abs : p2"), c.payload ? published : 0);
        EXPECT_EQ(log.count("b/in : r1"), c.payload ? received : 0);
        EXPECT_EQ(log.count("other : r2"), c.payload ? received : 0);
    }
}

TEST(ClientLog, AReceivedPasswordNeverReachesTheLog) {
    testsupport::LogWatch log;
    MQTT::Client client("b", "MQTT");
    MQTT::Config settings("b", "MQTT");
    settings.setLogReceived(true);
    settings.setLogPayload(true);
    client.setConfig(settings);
    client.onMessageReceived("b/config/set", R"({"mqtt":{"password":"s3cret"}})", 0, false);
    client.onMessageReceived("b/config/set", R"({"mqtt":{"password":"s3cret")", 0, false);

    EXPECT_EQ(log.text().find("s3cret"), std::string::npos) << log.text();
    EXPECT_EQ(log.count(R"(b/config/set : {"mqtt":{"password":"***"}})"), 1u) << log.text();
    EXPECT_EQ(log.count("b/config/set : ***"), 1u) << log.text();
}

TEST(ClientSubscriptions, AreRenewedInTheirOrderAfterConnecting) {
    testsupport::LogWatch log;
    ClientHarness harness;
    MQTT::Config settings = harness.settings();
    settings.setLogSubscriptions(true);
    harness.client->setConfig(settings);
    auto const noop = [](MQTT::Message const&) {};
    harness.client->subscribeExpectedResponse("resp/one");
    harness.client->subscribeExpectedRpc("other/call");
    harness.client->subscribeRpc("do/it", [](std::string const&, std::string const&,
                                             std::string const&) { return std::string(); });
    harness.client->subscribeCommand("x/get", noop, true);
    harness.client->subscribeCommand("ext/#", noop, false);
    ASSERT_TRUE(harness.startClient());

    std::string const text = log.text();
    std::vector<std::string> const lines = {
        "Subscribing to external command 'ext/#'...",
        "Subscribing to command 'b/x/get'...",
        "Subscribing to rpc 'b/do/it/request/+'...",
        "Subscribing to rpc 'b/do/it/request/+/+'...",
        "Subscribing to expected rpc 'other/call/response/+'...",
        "Subscribing to expected response 'resp/one'...",
    };
    size_t at = 0;
    for (auto const& line : lines) {
        size_t const found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }
    EXPECT_TRUE(log.waitFor("Subscribed to topic 'b/do/it/request/+/+'."));
    EXPECT_TRUE(log.waitFor("Subscriptions thread ended!"));
}

} // namespace
