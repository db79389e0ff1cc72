#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using e2e::Base;
using nlohmann::json;

// A running service whose monitoring loop cycles quickly, so that changes
// on the boards show within a few hundred milliseconds.
class RequestsTest : public e2e::ServiceRun {
protected:
    void SetUp() override {
        ServiceRun::SetUp();
        json config = exampleConfig();
        config["device"]["statusPeriod"] = 200;
        startWith(config);
        // Right after the start the monitoring loop may still be bringing a
        // board back (its getters answer Timeout until then).
        bool ready = false;
        for (int attempt = 0; attempt < 40 && !ready; ++attempt) {
            json const reply = json::parse(
                call("psu/telemetry/inputVoltage/get", "", "ready-" + std::to_string(attempt)),
                nullptr, false);
            ready = reply.is_object() && reply.value("completed", false);
            if (!ready) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
        }
        ASSERT_TRUE(ready) << service->log();
    }

    json raw(int address, char const* table, int slot) const {
        return simulator->control(
            {{"op", "raw"}, {"addr", address}, {"table", table}, {"slot", slot}})["raw"];
    }
    void setRaw(int address, char const* table, int slot, int value) const {
        ASSERT_EQ(simulator->control({{"op", "setRaw"},
                                      {"addr", address},
                                      {"table", table},
                                      {"slot", slot},
                                      {"raw", value}})["ok"],
                  true);
    }
};

TEST_F(RequestsTest, GetSetAndMonitorAsCommandsAndAsCalls) {
    // Get.
    client->publish(std::string(Base) + "/psu/telemetry/inputVoltage/get", "");
    EXPECT_TRUE(waitValue("psu/telemetry/inputVoltage", 24.12)) << untaken();
    EXPECT_EQ(json::parse(call("psu/telemetry/inputVoltage/get", "", "get-1")),
              json({{"completed", true}, {"data", 24.12}}));

    // Set: the value reaches the board.
    client->publish(std::string(Base) + "/psu/config/outputEnabled/set", "false");
    EXPECT_TRUE(waitValue("psu/config/outputEnabled", false)) << untaken();
    EXPECT_EQ(raw(1, "config", 1), 0);
    EXPECT_EQ(json::parse(call("mainBoard/config/busSpeed/set", "\"slow\"", "set-1")),
              json({{"completed", true}, {"data", "slow"}}));
    EXPECT_EQ(raw(0, "config", 0), 0);

    // Monitor: the command form publishes the value at once, then each change.
    client->publish(std::string(Base) + "/psu/telemetry/inputVoltage/monitor",
                    R"({"active":true})");
    EXPECT_TRUE(waitValue("psu/telemetry/inputVoltage", 24.12)) << untaken();
    setRaw(1, "telemetry", 0, 2500);
    EXPECT_TRUE(waitValue("psu/telemetry/inputVoltage", 25.0));

    EXPECT_EQ(
        json::parse(call("psu/telemetry/batteryLevel/monitor", R"({"active":true})", "monitor-1")),
        json({{"completed", true}, {"data", {{"active", true}, {"skipChangesForMs", 0}}}}));
    setRaw(1, "telemetry", 1, 42);
    EXPECT_TRUE(waitValue("psu/telemetry/batteryLevel", 42));
}

TEST_F(RequestsTest, ConfigWriteOfTheStatusPeriodRestartsMonitoringAndIsSaved) {
    client->publish(std::string(Base) + "/config/device/statusPeriod/set", "300");

    ASSERT_TRUE(service->waitLog("Restarting monitor thread due to changed config", e2e::ReplyMs))
        << service->log();
    // The written node is published with the value in effect once the file
    // is written.
    ASSERT_TRUE(waitValue("config/device/statusPeriod", 300)) << untaken();
    json const written = json::parse(e2e::readFile(service->path("zrv480-boardman.json")));
    EXPECT_EQ(written["device"]["statusPeriod"], 300);
    EXPECT_EQ(written["device"]["socket"]["port"], simulator->port()); // the rest is kept
}

TEST_F(RequestsTest, ConfigWriteOfOneBrokerSettingKeepsTheOthersAndTheServiceReachable) {
    client->publish(topic("config/mqtt/keepAliveSec/set"), "30");

    json written = json::object();
    for (int attempt = 0; attempt < 40 && written["mqtt"]["keepAliveSec"] != 30; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        json const text =
            json::parse(e2e::readFile(service->path("zrv480-boardman.json")), nullptr, false);
        if (text.is_object()) {
            written = text;
        }
    }
    ASSERT_EQ(written["mqtt"]["keepAliveSec"], 30) << service->log();
    EXPECT_EQ(written["mqtt"]["url"], broker.url());
    EXPECT_EQ(written["mqtt"]["base"], Base);
    // The client restarts with the new setting and answers again, on the
    // same broker and below the same base topic.
    ASSERT_TRUE(awaitServing(2)) << service->log();
    json const answer = json::parse(call("status/get", "", "status"), nullptr, false);
    EXPECT_EQ(answer.value("completed", false), true) << service->log();
}

TEST_F(RequestsTest, ConfigWriteOfTheBaseMovesEveryTopicBelowTheNewBase) {
    std::string const moved = "moved/boardman";
    auto const watcher = subscriber(moved + "/#");
    json const current = json::parse(call("config/get", "", "config-1"), nullptr, false);
    ASSERT_TRUE(current.is_object() && current.contains("data")) << current;
    json section = current["data"]["mqtt"];
    section["base"] = moved;
    client->publish(topic("config/set"), json({{"mqtt", section}}).dump());

    // The connection notices go out below the new base, and the tree answers
    // there in both forms.
    ASSERT_NE(watcher->takePayload(moved + "/status", e2e::ReplyMs), "") << service->log();
    ASSERT_TRUE(awaitServing(2, moved)) << service->log();
    client->publish(moved + "/psu/telemetry/inputVoltage/get/request/moved", "");
    std::string const reply = watcher->takePayload(
        moved + "/psu/telemetry/inputVoltage/get/response/moved", e2e::ReplyMs);
    EXPECT_EQ(json::parse(reply, nullptr, false), json({{"completed", true}, {"data", 24.12}}));
    client->publish(moved + "/psu/telemetry/inputVoltage/get", "");
    EXPECT_EQ(watcher->takePayload(moved + "/psu/telemetry/inputVoltage", e2e::ReplyMs), "24.12");
    mqtttest::Received status;
    ASSERT_TRUE(subscriber(moved + "/status")->take(moved + "/status", status));
    EXPECT_TRUE(status.retained);

    // Nothing answers below the old base any more.
    client->clear();
    client->publish(topic("psu/telemetry/inputVoltage/get/request/old"), "");
    client->publish(topic("psu/telemetry/inputVoltage/get"), "");
    EXPECT_TRUE(client->quiet(topic("psu/telemetry/inputVoltage/get/response/old"), 1000));
    EXPECT_TRUE(client->quiet(topic("psu/telemetry/inputVoltage"), 0));
    EXPECT_TRUE(client->quiet(topic("error"), 0));
    EXPECT_EQ(json::parse(e2e::readFile(service->path("zrv480-boardman.json")))["mqtt"]["base"],
              moved);
}

TEST_F(RequestsTest, RefusedSocketLeavesTheWholeWriteUnappliedAndTheFileAsItWas) {
    std::string const before = e2e::readFile(service->path("zrv480-boardman.json"));
    json const fanMode = raw(1, "config", 0);
    client->publish(std::string(Base) + "/config/set",
                    R"({"device":{"socket":{"address":"not an address"}},)"
                    R"("boards":{"psu":{"fanMode":"high"}}})");

    ASSERT_TRUE(waitMessage("error", [](json const& report) {
        return report.is_object() && report["command"] == "config/set" &&
               report.dump().find("device/socket/address") != std::string::npos;
    })) << untaken();
    EXPECT_EQ(raw(1, "config", 0), fanMode); // "high" did not reach the board
    EXPECT_EQ(e2e::readFile(service->path("zrv480-boardman.json")), before);
    // Still talking to the boards at the old address.
    EXPECT_EQ(json::parse(call("psu/telemetry/inputVoltage/get", "", "after-1"))
                  .value("completed", false),
              true);
}

TEST_F(RequestsTest, RebootIsAnsweredAtOnceAndAnnouncedWhenTheBoardIsBack) {
    EXPECT_EQ(json::parse(call("psu/action/reboot", "", "reboot-1")), json({{"completed", true}}));
    EXPECT_TRUE(waitValue("psu/action/reboot/finished/reboot-1", {{"completed", true}}));
}

TEST_F(RequestsTest, ServiceReconnectsAfterTheBrokerWasAwayAndAnswersAgain) {
    broker.stop();
    ASSERT_TRUE(service->waitLog("[MQTT::Client] Disconnected from broker.", e2e::ReplyMs));
    ASSERT_TRUE(broker.restart()) << broker.logText();

    // The service subscribes again after its next attempt (every 2 s).
    client = subscriber(std::string(Base) + "/#");
    ASSERT_TRUE(awaitServing(2)) << service->log();
    std::string const reply = call("status/get", "", "status");
    json const answer = json::parse(reply, nullptr, false);
    EXPECT_EQ(answer.value("completed", false), true) << reply;
    EXPECT_EQ(answer["data"]["service"], true) << reply;
}

// Requests left retained at the broker reach every new subscription: the
// service reports them and carries none out, at its start and again when
// the broker comes back with them after a restart.
class RetainedRequestsTest : public e2e::ServiceRun {
protected:
    // How often the service reported the retained request on the topic.
    size_t reported(std::string const& relative) const {
        std::string const text = "Retained request '" + topic(relative) + "' not carried out";
        return e2e::occurrences(service->log(), text);
    }
    bool waitReported(std::string const& relative, size_t times) const {
        for (int i = 0; i < e2e::ReplyMs / 50 && reported(relative) < times; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return reported(relative) == times;
    }
    // Neither the value nor the reboot reached the power supply.
    void expectNothingDone(std::string const& round) {
        SCOPED_TRACE(round);
        EXPECT_NE(simulator->control(
                      {{"op", "raw"}, {"addr", 1}, {"table", "config"}, {"slot", 2}})["raw"],
                  55);
        std::string const answer = call("psu/config/batteryLowThreshold/get", "", round + "-get");
        json const reply = json::parse(answer, nullptr, false);
        EXPECT_EQ(reply.value("completed", false), true) << reply;
        EXPECT_NE(reply.value("data", json()), 55) << reply;
        EXPECT_EQ(simulator->control({{"op", "requestCount"},
                                      {"match", {{"addr", 1}, {"cmd", 5}, {"slot", 0}}}})["count"],
                  0);
    }
};

TEST_F(RetainedRequestsTest, ARetainedSetOrRebootIsReportedAndNeverCarriedOut) {
    // A broker that keeps its retained messages across its restart.
    std::filesystem::create_directories(dir.path("broker-db"));
    broker.configure("persistence true");
    broker.configure("persistence_location " + dir.path("broker-db") + "/");
    ASSERT_TRUE(broker.restart()) << broker.logText();
    client = subscriber(topic("#"));
    std::string const set = "psu/config/batteryLowThreshold/set";
    std::string const reboot = "psu/action/reboot/request/r1";
    ASSERT_TRUE(client->publish(topic(set), "55", 0, true));
    ASSERT_TRUE(client->publish(topic(reboot), "{}", 0, true));

    startWith(exampleConfig());
    EXPECT_TRUE(waitReported(set, 1)) << service->log();
    EXPECT_TRUE(waitReported(reboot, 1)) << service->log();
    EXPECT_NE(service->log().find("Clear it by publishing an empty retained message there"),
              std::string::npos);
    expectNothingDone("start");

    broker.stop();
    ASSERT_TRUE(service->waitLog("[MQTT::Client] Disconnected from broker.", e2e::ReplyMs));
    ASSERT_TRUE(broker.restart()) << broker.logText();
    client = subscriber(topic("#"));
    ASSERT_TRUE(awaitServing(2)) << service->log();
    EXPECT_TRUE(waitReported(set, 2)) << service->log();
    EXPECT_TRUE(waitReported(reboot, 2)) << service->log();
    expectNothingDone("reconnected");
    EXPECT_EQ(service->stop(), 0) << service->log();
}

} // namespace
