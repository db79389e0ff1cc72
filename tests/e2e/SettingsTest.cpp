#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

using nlohmann::json;

// Every text of a reply joined: the refusal's words wherever the reply puts
// them.
std::string textsOf(json const& value) {
    if (value.is_string()) {
        return value.get<std::string>() + "\n";
    }
    std::string texts;
    if (value.is_structured()) {
        for (auto const& item : value) {
            texts += textsOf(item);
        }
    }
    return texts;
}

// The service with its configuration file and log at hand; the monitoring
// loop cycles quickly.
class SettingsTest : public e2e::ServiceRun {
protected:
    json quickConfig() const {
        json config = exampleConfig();
        config["device"]["statusPeriod"] = 200;
        return config;
    }
    std::string fileText() const { return e2e::readFile(service->path("zrv480-boardman.json")); }
    json file() const { return json::parse(fileText()); }
    size_t logged(std::string const& line) const { return e2e::occurrences(service->log(), line); }

    // Until the file holds the value at the pointer, or the time is up.
    bool awaitFileValue(json::json_pointer const& at, json const& value) const {
        auto const deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::ReplyMs);
        while (std::chrono::steady_clock::now() < deadline) {
            json const now = json::parse(fileText(), nullptr, false);
            if (now.is_object() && now.contains(at) && now.at(at) == value) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

constexpr char const* Restart = "Restarting monitor thread due to changed config";

TEST_F(SettingsTest, EverySettingWrittenThroughTheConfigNodeIsHeldToItsLimits) {
    startWith(quickConfig());
    struct Case {
        char const* path;
        json value;
        char const* takes; // empty: accepted
    };
    char const* const period = "an integer from 10 to 3600000";
    char const* const timeout = "an integer from 10 to 10000";
    char const* const retries = "an integer from 0 to 10";
    char const* const batch = "an integer from 1 to 256";
    char const* const address = "an IPv4 address in dotted decimal";
    char const* const port = "an integer from 1 to 65535";
    char const* const socketTimeout = "an integer from 1 to 9999";
    char const* const url = "host:port with a port from 1 to 65535";
    char const* const user = "a text of 0 to 256 bytes";
    char const* const password = "a text of 0 to 65535 bytes";
    char const* const clientId = "a text of 0 to 128 bytes";
    char const* const base = "a topic of 0 to 256 bytes without '+', '#' or an empty level";
    char const* const keepAlive = "an integer from 1 to 3600";
    char const* const flag = "true or false";
    // Writes that would move the service away from this test's broker,
    // simulator or base topic are accepted only where they keep it there;
    // their other bounds are left to the unit table.
    Case const cases[] = {
        {"device/statusPeriod", 9, period},
        {"device/statusPeriod", 10, ""},
        {"device/statusPeriod", 3600001, period},
        {"device/statusPeriod", "fast", period},
        {"device/statusPeriod", 3600000, ""},
        {"device/timeoutMs", 9, timeout},
        {"device/timeoutMs", 10, ""},
        {"device/timeoutMs", 10000, ""},
        {"device/timeoutMs", 10001, timeout},
        {"device/timeoutMs", json::array({1}), timeout},
        {"device/retransmissions", -1, retries},
        {"device/retransmissions", 0, ""},
        {"device/retransmissions", 10, ""},
        {"device/retransmissions", 11, retries},
        {"device/retransmissions", "2", retries},
        {"device/cacheBatchSize", 0, batch},
        {"device/cacheBatchSize", 1, ""},
        {"device/cacheBatchSize", 256, ""},
        {"device/cacheBatchSize", 257, batch},
        {"device/cacheBatchSize", -1, batch},
        {"device/socket/address", "256.0.0.1", address},
        {"device/socket/address", "localhost", address},
        {"device/socket/address", 2130706433, address},
        {"device/socket/address", "127.0.0.1", ""},
        {"device/socket/port", 0, port},
        {"device/socket/port", 65536, port},
        {"device/socket/port", "10000", port},
        {"device/socket/port", simulator->port(), ""},
        {"device/socket/timeoutMs", 0, socketTimeout},
        {"device/socket/timeoutMs", 1, ""},
        {"device/socket/timeoutMs", 9999, ""},
        {"device/socket/timeoutMs", 10000, socketTimeout},
        {"device/socket/timeoutMs", true, socketTimeout},
        {"device/socket/timeoutMs", 100, ""},
        {"mqtt/url", "127.0.0.1:0", url},
        {"mqtt/url", "127.0.0.1:65536", url},
        {"mqtt/url", "127.0.0.1", url},
        {"mqtt/url", std::string(252, 'h') + ":1883", url},
        {"mqtt/url", 1883, url},
        {"mqtt/username", std::string(256, 'u'), ""},
        {"mqtt/username", std::string(257, 'u'), user},
        {"mqtt/username", 5, user},
        {"mqtt/password", std::string(65536, 'p'), password},
        {"mqtt/password", false, password},
        {"mqtt/clientId", std::string(128, 'c'), ""},
        {"mqtt/clientId", std::string(129, 'c'), clientId},
        // Huge, yet within the largest request the service reads.
        {"mqtt/clientId", std::string((1 << 20) - 4096, 'c'), clientId},
        {"mqtt/clientId", 7, clientId},
        {"mqtt/clientId", "", ""},
        {"mqtt/base", "velt/+/boardman", base},
        {"mqtt/base", "velt/#", base},
        {"mqtt/base", "/velt", base},
        {"mqtt/base", "velt//boardman", base},
        {"mqtt/base", std::string(257, 'b'), base},
        {"mqtt/base", 5, base},
        {"mqtt/keepAliveSec", 0, keepAlive},
        {"mqtt/keepAliveSec", 3600, ""},
        {"mqtt/keepAliveSec", 3601, keepAlive},
        {"mqtt/keepAliveSec", "20", keepAlive},
        {"mqtt/log/payload", 1, flag},
        {"mqtt/log/payload", true, ""},
        {"mqtt/log/published", "false", flag},
        {"mqtt/log/received", nullptr, flag},
        {"mqtt/log/subscriptions", 0, flag},
        // Last: at one second the broker drops the connection whenever a
        // ping comes late, as it does on a loaded machine, and a request
        // sent meanwhile would be lost.
        {"mqtt/keepAliveSec", 1, ""},
    };
    int id = 0;
    for (auto const& c : cases) {
        std::string const path = c.path;
        SCOPED_TRACE(path + " = " + c.value.dump().substr(0, 40));
        json::json_pointer const at("/" + path);
        std::string const request = "limits-" + std::to_string(++id);
        bool const mqtt = path.rfind("mqtt/", 0) == 0;
        // An "mqtt" section is written whole: one setting alone would
        // reset the others, the base topic with them.
        json written = c.value;
        std::string node = "config/" + path + "/set";
        if (mqtt) {
            written = file()["mqtt"];
            written[json::json_pointer(at.to_string().substr(5))] = c.value;
            node = "config/mqtt/set";
        }
        std::string const before = fileText();
        size_t const restarts = logged(Restart);
        size_t const connections = service->connections();

        if (*c.takes == '\0' && mqtt) {
            // The client reconnects with the new settings: the reply may be
            // lost with the old connection.
            client->publish(topic(node + "/request/" + request), written.dump());
            EXPECT_TRUE(awaitFileValue(at, c.value));
            ASSERT_TRUE(awaitServing(connections + 1)) << service->log();
            continue;
        }
        json const reply = json::parse(call(node, written.dump(), request), nullptr, false);
        if (*c.takes == '\0') {
            EXPECT_EQ(reply.value("completed", false), true) << reply.dump();
            EXPECT_EQ(file().at(at), c.value);
        } else {
            ASSERT_TRUE(reply.is_object()) << "no reply";
            EXPECT_EQ(reply.value("completed", true), false);
            std::string const refusal = textsOf(reply);
            EXPECT_NE(refusal.find("\"" + path + "\""), std::string::npos) << refusal;
            EXPECT_NE(refusal.find(c.takes), std::string::npos) << refusal;
            EXPECT_EQ(fileText(), before);
            EXPECT_EQ(logged(Restart), restarts);
            EXPECT_EQ(service->connections(), connections);
        }
    }
}

TEST_F(SettingsTest, AnUnusableValueRefusesTheWholeWriteOnTheErrorTopic) {
    startWith(quickConfig());
    std::string const before = fileText();

    client->publish(
        topic("config/set"),
        json({{"device", {{"statusPeriod", 1000}, {"timeoutMs", 0}}}, {"mqtt", file()["mqtt"]}})
            .dump());

    ASSERT_TRUE(waitMessage("error", [](json const& report) {
        return report.is_object() && report["command"] == "config/set" &&
               textsOf(report).find("setting \"device/timeoutMs\" must be an integer from 10 "
                                    "to 10000, got 0") != std::string::npos;
    })) << untaken();
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(logged(Restart), 0u);
    EXPECT_EQ(json::parse(call("config/device/statusPeriod/get", "", "after")),
              json({{"completed", true}, {"data", 200}}));
}

TEST_F(SettingsTest, ASectionThatIsNoObjectIsRefusedAndTheServiceKeepsItsBroker) {
    startWith(quickConfig());
    std::string const before = fileText();
    size_t const connections = service->connections();
    struct Case {
        char const* node;
        char const* payload;
        char const* named;
    };
    Case const cases[] = {
        {"config/set", R"({"mqtt":null})", "section \"mqtt\" must be an object, got null"},
        {"config/mqtt/set", "null", "section \"mqtt\" must be an object, got null"},
        {"config/set", R"({"boards":{"psu":null}})", "section \"boards/psu\" must be an object"},
        {"config/set", "7", "the configuration takes a JSON object of sections, got a number"},
        {"set", "7", "a JSON object of the members to write is expected here, got a number"},
    };
    int id = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.node) + " " + c.payload);
        json const reply =
            json::parse(call(c.node, c.payload, "section-" + std::to_string(++id)), nullptr, false);
        ASSERT_TRUE(reply.is_object()) << "no reply";
        EXPECT_EQ(reply.value("completed", true), false);
        EXPECT_NE(textsOf(reply).find(c.named), std::string::npos) << reply.dump();
        EXPECT_EQ(fileText(), before);
    }
    // Still on the same broker, under the same base topic, never reconnected.
    json const read = json::parse(call("config/get", "", "after"), nullptr, false);
    ASSERT_TRUE(read.is_object()) << "no reply";
    EXPECT_EQ(read["data"]["mqtt"]["base"], e2e::Base);
    EXPECT_EQ(service->connections(), connections);
}

TEST_F(SettingsTest, ThePasswordNeverReachesTheLog) {
    json config = quickConfig();
    config["mqtt"]["password"] = 73914682;
    auto const everything = subscriber("#");
    startWith(config);
    std::string const tooLong = "Lq7Zx" + std::string(69995, 'z');

    std::string const replies =
        call("config/set", R"({"mqtt":{"password":987654321}})", "number") + "\n" +
        call("config/mqtt/set", json({{"password", tooLong}}).dump(), "long") + "\n";
    // The command form answers on the error topic.
    client->publish(topic("config/set"), json({{"mqtt", {{"password", tooLong}}}}).dump());
    ASSERT_TRUE(waitMessage("error", [](json const& report) {
        return report.is_object() && report["command"] == "config/set";
    })) << untaken();

    EXPECT_NE(replies.find("must be a text of 0 to 65535 bytes, got a number"), std::string::npos)
        << replies;
    EXPECT_NE(replies.find("must be a text of 0 to 65535 bytes, got 70000 bytes"),
              std::string::npos)
        << replies;
    // The file's refused password is kept as the operator wrote it.
    EXPECT_NE(e2e::readFile(service->path("zrv480-boardman.json.bad")).find("73914682"),
              std::string::npos);
    EXPECT_EQ(logged("held settings that were refused or replaced; kept as it was in "
                     "'zrv480-boardman.json.bad'"),
              1u)
        << service->log();
    std::string published; // by the service: what the test sent is left out
    for (auto const& message : everything->pending()) {
        bool const request = message.topic.find("/request/") != std::string::npos ||
                             message.topic == topic("config/set");
        if (!request) {
            published += message.topic + " " + message.payload + "\n";
        }
    }
    std::string const log = service->log();
    for (std::string const secret : {"73914682", "987654321", "Lq7Zx"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
        EXPECT_EQ(published.find(secret), std::string::npos) << secret;
    }
}

TEST_F(SettingsTest, FileHoldingMinusOneStartsWithTheDefaultPollsEveryBoardAndStops) {
    json config = quickConfig();
    config["device"]["cacheBatchSize"] = -1;
    startWith(config);

    EXPECT_EQ(logged("[Config] Config file: setting \"device/cacheBatchSize\" must be an integer "
                     "from 1 to 256, got -1; using the default 20"),
              1u);
    // Every board is polled again, not only the first one.
    simulator->control({{"op", "clearRequests"}});
    for (int address : {0x00, 0x01, 0x10}) {
        EXPECT_EQ(simulator->control({{"op", "waitFor"},
                                      {"match", {{"addr", address}}},
                                      {"count", 3},
                                      {"timeoutMs", e2e::ReplyMs}})["reached"],
                  true)
            << address;
    }
    json const written = file();
    EXPECT_EQ(written["device"]["cacheBatchSize"], 20);
    EXPECT_EQ(written["device"]["statusPeriod"], 200);
    EXPECT_EQ(service->stop(SIGTERM, 10000), 0);
}

} // namespace
