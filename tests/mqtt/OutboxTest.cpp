#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>
#include <vector>

#include "foundation/LambdaTree.h"
#include "mqtt/Client.h"
#include "mqtt/MQTTPublisher.h"

// A client built on an outbox of its own runs without a broker: a message
// handed to onMessageReceived is dispatched on the caller's thread, and what
// the client answers is in the outbox when the call returns.
namespace {

using json = nlohmann::json;

struct Published {
    std::string topic;
    std::string payload;
    int qos;
    bool retained;
};

class Outbox : public MQTTPublisher {
public:
    bool publish(std::string const& topic, std::string const& payload, int qos,
                 bool retained) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({topic, payload, qos, retained});
        return true;
    }
    std::vector<Published> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Published> taken;
        taken.swap(messages);
        return taken;
    }

private:
    std::mutex mutex;
    std::vector<Published> messages;
};

// A client below "b" with one call ("echo") and one tree node ("node",
// value 5), its tree topics registered as on a first connection.
class BrokerFree : public ::testing::Test {
protected:
    BrokerFree() {
        client.subscribeRpc("echo",
                            [](std::string const&, std::string const& payload, std::string const&) {
                                return MQTT::Client::makeRpcCompleted(json::parse(payload));
                            });
        LambdaTree tree;
        tree.insert({"node", LambdaTree([] { return std::make_pair(true, json(5)); })});
        client.subscribeLambdaTree(tree, "");
        client.updateLambdaTreeSubscriptions("", false);
    }

    Outbox outbox;
    MQTT::Client client{"b", "MQTT", outbox};
};

TEST_F(BrokerFree, ReceivedMessagesAreAnsweredBeforeTheCallReturns) {
    struct Case {
        char const* topic;
        char const* payload;
        int qos;
        Published reply;
    };
    Case const cases[] = {
        {"b/echo/request/7",
         R"("x")",
         1,
         {"b/echo/response/7", R"({"completed":true,"data":"x"})", 1, false}},
        {"b/echo/request/ui/8",
         "2",
         0,
         {"b/echo/response/ui/8", R"({"completed":true,"data":2})", 0, false}},
        {"b/node/get", "", 2, {"b/node", "5", 0, false}},
        {"b/node/get/request/9",
         "",
         0,
         {"b/node/get/response/9", R"({"completed":true,"data":5})", 0, false}},
        {"b/nothing",
         "",
         0,
         {"b/error", R"({"command":"b/nothing","error":"Unknown topic"})", 0, false}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.topic);
        client.onMessageReceived(c.topic, c.payload, c.qos, false);
        auto const published = outbox.take();
        ASSERT_EQ(published.size(), 1u);
        EXPECT_EQ(published[0].topic, c.reply.topic);
        EXPECT_EQ(published[0].payload, c.reply.payload);
        EXPECT_EQ(published[0].qos, c.reply.qos);
        EXPECT_EQ(published[0].retained, c.reply.retained);
    }
    EXPECT_FALSE(client.isConnected());
}

TEST_F(BrokerFree, PublicationsReachTheOutboxInTheBrokersTerms) {
    client.publish(MQTT::Message("status", "{}", MQTT::Retained::Yes, MQTT::QoS::AtLeastOnce),
                   true);
    client.publish(MQTT::Message("other/abs", "x", MQTT::Retained::No, MQTT::QoS::ExactlyOnce),
                   false);
    client.publishLambdaTreeNode("node", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
    auto const published = outbox.take();
    ASSERT_EQ(published.size(), 3u);
    EXPECT_EQ(published[0].topic, "b/status");
    EXPECT_EQ(published[0].qos, 1);
    EXPECT_TRUE(published[0].retained);
    EXPECT_EQ(published[1].topic, "other/abs");
    EXPECT_EQ(published[1].qos, 2);
    EXPECT_FALSE(published[1].retained);
    EXPECT_EQ(published[2].topic, "b/node");
    EXPECT_EQ(published[2].payload, "5");
    EXPECT_EQ(published[2].qos, 0);
    EXPECT_TRUE(published[2].retained);
}

} // namespace
