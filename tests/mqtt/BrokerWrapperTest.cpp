#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/MQTTClient.h"
#include "mqtt/MQTTClientListener.h"
#include "support/LogWatch.h"
#include "support/MosquittoBroker.h"
#include "support/mqtt/Recorder.h"

namespace {

// Writes every listener call as one line, e.g. "subscribed a/b".
class EventLog : public MQTTClientListener {
public:
    void onConnected() override { add("connected"); }
    void onDisconnected() override { add("disconnected"); }
    void onSubscribed(std::string const& topic) override { add("subscribed " + topic); }
    void onUnsubscribed(std::string const& topic) override { add("unsubscribed " + topic); }
    void onMessageSent(int) override { add("sent"); }
    void onMessageDelivered(int) override { add("delivered"); }
    void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                           bool retained) override {
        add("received " + topic + " '" + payload + "' " + std::to_string(qos) +
            (retained ? " retained" : ""));
    }
    void onConnectFailed(std::string const& reason) override { add("connect failed " + reason); }
    void onSubscribeFailed(std::string const& topic) override { add("subscribe failed " + topic); }
    void onUnsubscribeFailed(std::string const& topic) override {
        add("unsubscribe failed " + topic);
    }
    void onMessageSendFailed(int) override { add("send failed"); }

    // Waits (bounded) for the event.
    bool waitFor(std::string const& event) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] {
            for (auto const& seen : events) {
                if (seen == event) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

private:
    void add(std::string const& event) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(event);
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
};

TEST(BrokerWrapper, RequestsBeforeTheFirstConnectFail) {
    testsupport::LogWatch log;
    EventLog events;
    MQTTClient wrapper(&events);
    wrapper.setLogEnabled(true);
    EXPECT_FALSE(wrapper.isConnected());
    EXPECT_FALSE(wrapper.disconnect(0));
    EXPECT_FALSE(wrapper.subscribe("a", 0));
    EXPECT_FALSE(wrapper.unsubscribe("a"));
    EXPECT_FALSE(wrapper.publish("a", "p", 0, false));
    EXPECT_FALSE(wrapper.wait(0));
    EXPECT_EQ(log.count("[MQTTClient] Client not connected."), 4u);
    EXPECT_EQ(wrapper.clientId(), "velt_mqtt_client");

    // An address the library rejects fails the connect itself.
    wrapper.setUrl("nonsense://127.0.0.1:1");
    EXPECT_FALSE(wrapper.connect());
    EXPECT_TRUE(log.waitFor("[MQTTClient] [ERROR] "));
    EXPECT_TRUE(events.all().empty());
}

TEST(BrokerWrapper, ReportsEveryRequestsOutcome) {
    testsupport::MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    EventLog events;
    MQTTClient wrapper(&events);
    wrapper.setUrl(broker.url());
    wrapper.setClientId("wrapper-test");
    wrapper.setUsername("someone");
    EXPECT_EQ(wrapper.username(), "someone");
    EXPECT_EQ(wrapper.password(), "");
    ASSERT_TRUE(wrapper.connect());
    ASSERT_TRUE(events.waitFor("connected"));
    EXPECT_TRUE(wrapper.isConnected());
    EXPECT_NE(broker.logText().find(" as wrapper-test "), std::string::npos);

    ASSERT_TRUE(wrapper.subscribe("w/#", 2));
    ASSERT_TRUE(events.waitFor("subscribed w/#"));
    mqtttest::Recorder peer(broker.url());
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.publish("w/empty", "", 1, false));
    EXPECT_TRUE(events.waitFor("received w/empty '' 1"));
    ASSERT_TRUE(peer.publish("w/kept", "k", 0, true));
    EXPECT_TRUE(events.waitFor("received w/kept 'k' 0"));

    ASSERT_TRUE(wrapper.publish("w/mine", "m", 1, false));
    EXPECT_TRUE(events.waitFor("sent"));
    EXPECT_TRUE(events.waitFor("delivered"));
    EXPECT_TRUE(events.waitFor("received w/mine 'm' 1"));
    EXPECT_TRUE(wrapper.wait(-1));

    ASSERT_TRUE(wrapper.unsubscribe("w/#"));
    EXPECT_TRUE(events.waitFor("unsubscribed w/#"));

    // A requested disconnect is reported like a lost connection; the next
    // connect reuses the library client and reaches the same broker.
    ASSERT_TRUE(wrapper.disconnect(0));
    EXPECT_TRUE(events.waitFor("disconnected"));
    ASSERT_TRUE(wrapper.connect());
    EXPECT_TRUE(wrapper.wait(5000));
    EXPECT_TRUE(wrapper.isConnected());

    // A lost connection too.
    broker.stop();
    for (int i = 0; i < 250 && wrapper.isConnected(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(wrapper.isConnected());
    auto const all = events.all();
    EXPECT_EQ(std::count(all.begin(), all.end(), "disconnected"), 2);
}

// Two brokers, for a wrapper that moves from the first to the second.
class BrokerWrapperMoving : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(first.start());
        ASSERT_TRUE(second.start());
    }

    testsupport::MosquittoBroker first;
    testsupport::MosquittoBroker second;
};

TEST_F(BrokerWrapperMoving, ANewAddressMakesANewLibraryClient) {
    EventLog events;
    MQTTClient wrapper(&events);
    wrapper.setUrl(first.url());
    wrapper.setClientId("mover");
    ASSERT_TRUE(wrapper.connect());
    ASSERT_TRUE(wrapper.wait(5000));
    wrapper.setUrl(second.url());
    ASSERT_TRUE(wrapper.connect());
    ASSERT_TRUE(wrapper.wait(5000));
    EXPECT_TRUE(wrapper.isConnected());
    EXPECT_NE(second.logText().find(" as mover "), std::string::npos);
}

// Holds the callback of a message on "hold" for longer than the wrapper
// waits before it logs an old client that is still busy.
class HoldingListener : public EventLog {
public:
    void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                           bool retained) override {
        if (topic != "hold") {
            EventLog::onMessageReceived(topic, payload, qos, retained);
            return;
        }
        held = true;
        std::this_thread::sleep_for(std::chrono::seconds(11));
        released = true;
    }

    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
};

TEST_F(BrokerWrapperMoving, AnOldClientOutlivesItsLongestCallback) {
    testsupport::LogWatch log;
    HoldingListener listener;
    MQTTClient wrapper(&listener);
    wrapper.setUrl(first.url());
    ASSERT_TRUE(wrapper.connect());
    ASSERT_TRUE(wrapper.wait(5000));
    ASSERT_TRUE(wrapper.subscribe("hold", 0));
    ASSERT_TRUE(listener.waitFor("subscribed hold"));
    mqtttest::Recorder peer(first.url());
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.publish("hold", ""));
    for (int i = 0; i < 250 && !listener.held; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(listener.held);

    // A new address retires the old client: only once the handler returned,
    // the long wait logged on the way.
    wrapper.setUrl(second.url());
    ASSERT_TRUE(wrapper.connect());
    EXPECT_TRUE(listener.released);
    EXPECT_EQ(log.count("[MQTTClient] Old client still in use after 10 s: waiting for its "
                        "callbacks to return"),
              1u);
    EXPECT_TRUE(wrapper.wait(5000));
    EXPECT_TRUE(wrapper.isConnected());
}

TEST(BrokerWrapper, ANullListenerDropsEveryEvent) {
    testsupport::MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    MQTTClient wrapper(nullptr);
    wrapper.setUrl(broker.url());
    ASSERT_TRUE(wrapper.connect());
    ASSERT_TRUE(wrapper.wait(5000));
    ASSERT_TRUE(wrapper.subscribe("n/#", 1));
    ASSERT_TRUE(wrapper.publish("n/x", "x", 1, false));
    EXPECT_TRUE(wrapper.wait(5000));
    ASSERT_TRUE(wrapper.disconnect(0));
    EXPECT_TRUE(wrapper.wait(5000));
}

} // namespace
