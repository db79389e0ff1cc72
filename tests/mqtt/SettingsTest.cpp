#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foundation/Variant.h"
#include "mqtt/Config.h"
#include "mqtt/MQTTActionListeners.h"
#include "mqtt/MQTTMemoryPersistence.h"
#include "mqtt/Message.h"
#include "support/LogWatch.h"

namespace {

using json = nlohmann::json;

TEST(Enumerations, KeepTheServicesNumbersAndConvertAtTheBoundary) {
    EXPECT_EQ(static_cast<int>(MQTT::Retained::Yes), 0);
    EXPECT_EQ(static_cast<int>(MQTT::Retained::No), 1);
    EXPECT_EQ(static_cast<int>(MQTT::QoS::AtLeastOnce), 0);
    EXPECT_EQ(static_cast<int>(MQTT::QoS::AtMostOnce), 1);
    EXPECT_EQ(static_cast<int>(MQTT::QoS::ExactlyOnce), 2);

    struct QosCase {
        MQTT::QoS qos;
        int mqtt;
    };
    for (auto const& c : {QosCase{MQTT::QoS::AtLeastOnce, 1}, QosCase{MQTT::QoS::AtMostOnce, 0},
                          QosCase{MQTT::QoS::ExactlyOnce, 2}}) {
        EXPECT_EQ(MQTT::toMqttQos(c.qos), c.mqtt);
        EXPECT_EQ(MQTT::fromMqttQos(c.mqtt), c.qos);
    }
    // Values outside the enumeration travel as QoS 0 and come back as AtMostOnce.
    EXPECT_EQ(MQTT::toMqttQos(static_cast<MQTT::QoS>(7)), 0);
    EXPECT_EQ(MQTT::fromMqttQos(3), MQTT::QoS::AtMostOnce);
    EXPECT_EQ(MQTT::fromMqttQos(-1), MQTT::QoS::AtMostOnce);

    EXPECT_TRUE(MQTT::toRetainFlag(MQTT::Retained::Yes));
    EXPECT_FALSE(MQTT::toRetainFlag(MQTT::Retained::No));
    EXPECT_FALSE(MQTT::toRetainFlag(static_cast<MQTT::Retained>(5)));
    EXPECT_EQ(MQTT::fromRetainFlag(true), MQTT::Retained::Yes);
    EXPECT_EQ(MQTT::fromRetainFlag(false), MQTT::Retained::No);
}

TEST(Config, DefaultsAndTheirLogLine) {
    testsupport::LogWatch log;
    MQTT::Config const config("zrv/base", "MQTT");
    EXPECT_EQ(config.getUrl(), "127.0.0.1:1883");
    EXPECT_EQ(config.getUsername(), "");
    EXPECT_EQ(config.getPassword(), "");
    EXPECT_EQ(config.getClientId(), "");
    EXPECT_EQ(config.getBase(), "zrv/base");
    EXPECT_EQ(config.getKeepAlive(), 20u);
    EXPECT_FALSE(config.getLogPayload());
    EXPECT_FALSE(config.getLogSubscriptions());
    EXPECT_FALSE(config.getLogPublished());
    EXPECT_FALSE(config.getLogReceived());
    EXPECT_TRUE(log.waitFor("[MQTT::Config] Loading default configuration."));

    json const expected = {
        {"base", "zrv/base"},
        {"clientId", ""},
        {"keepAliveSec", 20},
        {"log",
         {{"payload", false}, {"published", false}, {"received", false}, {"subscriptions", false}}},
        {"password", ""},
        {"url", "127.0.0.1:1883"},
        {"username", ""}};
    EXPECT_EQ(config.toJson(), expected);
}

TEST(Config, AnAppliedSectionStartsFromTheDefaultsWithAnEmptyBase) {
    MQTT::Config applied("", "MQTT");
    applied.fromJson({{"url", "127.0.0.1:5000"}});
    MQTT::Config expected("", "MQTT");
    expected.setUrl("127.0.0.1:5000");
    EXPECT_EQ(applied.toJson(), expected.toJson());
    EXPECT_EQ(applied.getBase(), "");

    // A copy is independent of its source.
    MQTT::Config copy = applied;
    copy.setBase("other");
    EXPECT_EQ(applied.getBase(), "");
}

TEST(Config, NumbersReadTheSameWhateverKindStoredThem) {
    MQTT::Config config("", "MQTT");
    EXPECT_EQ(config.get("keepAliveSec").type(), Variant::Type::Int);
    config.setKeepAlive(20);
    EXPECT_EQ(config.get("keepAliveSec").type(), Variant::Type::UInt);
    EXPECT_EQ(config.getKeepAlive(), 20u);
    config.fromJson({{"keepAliveSec", 20}, {"log", {{"received", true}}}});
    EXPECT_EQ(config.getKeepAlive(), 20u);
    EXPECT_TRUE(config.getLogReceived());
    // Nothing is cached: a write is seen by the next read.
    config.set("keepAliveSec", Variant(45));
    EXPECT_EQ(config.getKeepAlive(), 45u);
}

TEST(ConnectReasons, CoverTheReturnCodes) {
    struct ReasonCase {
        int code;
        char const* reason;
    };
    ReasonCase const cases[] = {
        {0, "Connection accepted"},       {1, "Unacceptable protocol version"},
        {2, "Identifier rejected"},       {3, "Service unavailable"},
        {4, "Bad user name or password"}, {5, "Not authorized"},
        {-1, "Connection timeout"},       {7, "Unknown reason"},
        {-3, "Unknown reason"},           {6, "Unknown reason"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(MQTTConnectListener::reason(c.code), c.reason) << c.code;
    }
}

TEST(MemoryPersistence, StoresJoinedBuffersInKeyOrder) {
    MQTTMemoryPersistence store;
    EXPECT_TRUE(store.keys().empty());

    std::string const ab = "ab";
    std::string const cd = std::string("c\0d", 3);
    store.put("k2", {mqtt::string_view(ab), mqtt::string_view(cd)});
    EXPECT_EQ(store.get("k2"), std::string("abc\0d", 5));
    store.put("k2", {mqtt::string_view(ab)});
    EXPECT_EQ(store.get("k2"), "ab");
    store.put("k1", {});
    EXPECT_EQ(store.get("k1"), "");

    auto const keys = store.keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], "k1");
    EXPECT_EQ(keys[1], "k2");
    EXPECT_TRUE(store.contains_key("k1"));

    store.remove("k1");
    EXPECT_FALSE(store.contains_key("k1"));
    store.clear();
    EXPECT_TRUE(store.keys().empty());
}

TEST(MemoryPersistence, AbsentKeysThrowThePersistenceCode) {
    MQTTMemoryPersistence store;
    EXPECT_FALSE(store.contains_key("missing"));
    try {
        store.get("missing");
        FAIL() << "get of an absent key returned";
    } catch (mqtt::persistence_exception const& error) {
        EXPECT_EQ(error.get_return_code(), -2);
        EXPECT_NE(std::string(error.what()).find("MQTTMemoryPersistance::get(): Key not found."),
                  std::string::npos);
    }
    try {
        store.remove("missing");
        FAIL() << "remove of an absent key returned";
    } catch (mqtt::persistence_exception const& error) {
        EXPECT_EQ(error.get_return_code(), -2);
    }
}

} // namespace
