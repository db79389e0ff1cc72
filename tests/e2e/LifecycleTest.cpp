#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

using e2e::Base;
using e2e::ServiceRun;
using nlohmann::json;

std::string const CopiesDir = "/dev/shm/zrv480_board_manager";

int modeOf(std::string const& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// The retained message that a client subscribed after it got first ("" when
// none).
std::string retained(std::unique_ptr<mqtttest::Recorder> const& late, std::string const& topic) {
    mqtttest::Received message;
    if (!late->take(topic, message, e2e::ReplyMs) || !message.retained) {
        return "";
    }
    return message.payload;
}

class LifecycleTest : public ServiceRun {
protected:
    // The retained value of the node as a client that subscribes now reads
    // it, once `accept` takes it (the service publishes from its own
    // thread): a client that subscribes again and again; null when none is
    // accepted within the reply time.
    json retainedOnce(std::string const& node, std::function<bool(json const&)> const& accept) {
        auto const deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::ReplyMs);
        auto const late = subscriber(topic(node));
        while (std::chrono::steady_clock::now() < deadline) {
            mqtttest::Received message;
            if (late->take(topic(node), message, 500) && message.retained &&
                accept(json::parse(message.payload, nullptr, false))) {
                return json::parse(message.payload);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            late->unsubscribe(topic(node));
            late->clear();
            late->subscribe(topic(node));
        }
        return nullptr;
    }

    json file() const { return json::parse(e2e::readFile(service->path("zrv480-boardman.json"))); }

    // The power supply's "outputEnabled" as the simulated board holds it.
    json outputEnabledOnTheBoard() const {
        return simulator->control(
            {{"op", "raw"}, {"addr", 1}, {"table", "config"}, {"slot", 1}})["raw"];
    }
};

// Whether every board of the document is an object holding `member`.
bool everyBoardHolds(json const& boards, char const* member) {
    for (char const* board : {"mainBoard", "psu", "lightController"}) {
        if (!boards.is_object() || !boards[board].is_object() || !boards[board].contains(member)) {
            return false;
        }
    }
    return true;
}

TEST_F(LifecycleTest, StartUpRewritesTheExampleWithTheBoardsValuesAndPublishesStatus) {
    startWith(exampleConfig());

    ASSERT_TRUE(service->waitLog("[EngineConfigAdaptor] Calling config rewrite"));
    std::string const file = service->path("zrv480-boardman.json");
    std::string const port = std::to_string(simulator->port());
    EXPECT_EQ(e2e::readFile(file), R"({
    "boards": {
        "lightController": {
            "lightP1": 128,
            "lightRgb1": {
                "b": 0,
                "g": 128,
                "r": 255
            }
        },
        "mainBoard": {
            "busSpeed": "fast"
        },
        "psu": {
            "batteryLowThreshold": 20,
            "chargeVoltageLimit": 13.8,
            "fanMode": "auto",
            "outputEnabled": true
        }
    },
    "device": {
        "cacheBatchSize": 20,
        "retransmissions": 2,
        "socket": {
            "address": "127.0.0.1",
            "port": )" + port + R"(,
            "timeoutMs": 100
        },
        "statusPeriod": 5000,
        "timeoutMs": 500
    },
    "mqtt": {
        "base": "velt/zrv/boardman",
        "clientId": "",
        "keepAliveSec": 20,
        "log": {
            "payload": false,
            "published": false,
            "received": false,
            "subscriptions": false
        },
        "password": "",
        "url": ")" + broker.url() + R"(",
        "username": ""
    }
})");
    EXPECT_EQ(modeOf(file), 0600);

    // A client that comes later still reads the service's status.
    std::string const topic = std::string(Base) + "/status";
    json const status = json::parse(retained(subscriber(topic), topic), nullptr, false);
    EXPECT_TRUE(status.is_object() && status.contains("service")) << status;
}

TEST_F(LifecycleTest, TheStatusPublishedAtConnectionSaysServiceDownWhileTheEngineStarts) {
    // The main board answers slowly: bringing the boards up takes seconds,
    // and the broker connection comes meanwhile.
    simulator->control(
        {{"op", "rule"}, {"match", {{"addr", 0}}}, {"action", {{"delay", 300}}}, {"times", 20}});
    startWith(exampleConfig());
    std::string const log = service->log();
    ASSERT_LT(log.find("[MQTT::Client] Subscriptions thread ended!"), log.find("[Engine] Started!"))
        << log;

    mqtttest::Received first;
    ASSERT_TRUE(client->take(topic("status"), first, e2e::ReplyMs)) << untaken();
    EXPECT_EQ(json::parse(first.payload, nullptr, false).value("service", true), false)
        << first.payload;
    // Once started, the service says so.
    EXPECT_TRUE(waitMessage("status", [](json const& status) {
        return status.is_object() && status["service"] == true;
    })) << untaken();
}

TEST_F(LifecycleTest, TerminationPublishesTheFinalStatusRemovesCopiesAndEndsWithZero) {
    // A per-board copy from an earlier run: applied at start, removed at stop.
    std::filesystem::create_directories(CopiesDir);
    std::string const copy = CopiesDir + "/psu";
    std::ofstream(copy) << "1 false\n";
    startWith(exampleConfig());
    ASSERT_TRUE(service->waitLog("[EngineConfigAdaptor] Calling config rewrite"));
    json const written = json::parse(e2e::readFile(service->path("zrv480-boardman.json")));
    EXPECT_EQ(written["boards"]["psu"]["outputEnabled"], false);

    // A second signal during the stop changes nothing.
    service->signal(SIGTERM);
    EXPECT_EQ(service->stop(SIGTERM), 0);

    EXPECT_TRUE(waitMessage("status", [](json const& status) {
        return status.is_object() && status["service"] == false;
    })) << untaken();
    std::string const topic = std::string(Base) + "/status";
    json const kept = json::parse(retained(subscriber(topic), topic), nullptr, false);
    EXPECT_EQ(kept.value("service", true), false) << kept;
    EXPECT_FALSE(std::filesystem::exists(copy));
    std::string const log = service->log();
    EXPECT_EQ(log.find("Signal caught: Terminated [15]"), log.rfind("Signal caught"));
    EXPECT_NE(log.find("[Engine] Stopped!"), std::string::npos);
    EXPECT_EQ(log.find("ERROR: "), std::string::npos) << log; // no sanitizer report
}

TEST_F(LifecycleTest, ALateSubscriberReadsEveryBoardsInformationAndValues) {
    // The file names no board value: every one comes from the boards.
    startWith(exampleConfig());

    json const info = retainedOnce("info", [](json const& value) {
        return value.is_object() && everyBoardHolds(value["device"]["boards"], "firmwareVersion");
    });
    EXPECT_FALSE(info.is_null()) << untaken();
    json const config = retainedOnce("config", [](json const& value) {
        return value.is_object() && value["boards"]["psu"].is_object() &&
               value["boards"]["psu"].contains("outputEnabled") &&
               value["boards"]["lightController"].is_object() &&
               value["boards"]["lightController"].contains("lightP1");
    });
    EXPECT_FALSE(config.is_null()) << untaken();
}

TEST_F(LifecycleTest, AValueWrittenOnABoardsTopicIsSavedAndWrittenBackAtTheNextStart) {
    startWith(exampleConfig());
    ASSERT_TRUE(service->waitLog("[EngineConfigAdaptor] Calling config rewrite"));
    ASSERT_EQ(outputEnabledOnTheBoard(), 1);

    client->publish(topic("psu/config/outputEnabled/set"), "false");
    ASSERT_TRUE(waitValue("psu/config/outputEnabled", false)) << untaken();
    EXPECT_EQ(outputEnabledOnTheBoard(), 0);
    EXPECT_EQ(file()["boards"]["psu"]["outputEnabled"], false);
    EXPECT_FALSE(retainedOnce("config", [](json const& value) {
                     return value.is_object() &&
                            value["boards"]["psu"].value("outputEnabled", true) == false;
                 }).is_null());
    ASSERT_EQ(service->stop(), 0);

    // The board is back on its own default; the next start writes the
    // saved value to it.
    ASSERT_TRUE(
        simulator
            ->control({{"op", "setRaw"}, {"addr", 1}, {"table", "config"}, {"slot", 1}, {"raw", 1}})
            .is_object());
    service->start();
    ASSERT_TRUE(service->waitLog("[Engine] Started!")) << service->log();
    EXPECT_EQ(outputEnabledOnTheBoard(), 0);
    EXPECT_EQ(file()["boards"]["psu"]["outputEnabled"], false);
}

TEST_F(LifecycleTest, AnOfflineBoardKeepsItsValuesInTheFileAcrossASettingsChange) {
    startWith(exampleConfig());
    ASSERT_TRUE(service->waitLog("[EngineConfigAdaptor] Calling config rewrite"));
    json const psu = file()["boards"]["psu"];
    ASSERT_TRUE(psu.is_object() && psu.contains("outputEnabled")) << psu;

    simulator->control({{"op", "present"}, {"addr", 1}, {"value", false}});
    ASSERT_TRUE(waitMessage("info", [](json const& info) {
        return info.is_object() && info["device"]["boards"]["psu"].is_null();
    })) << untaken();
    client->publish(topic("config/device/statusPeriod/set"), "2000");
    ASSERT_TRUE(waitValue("config/device/statusPeriod", 2000)) << untaken();
    json const written = file();
    EXPECT_EQ(written["device"]["statusPeriod"], 2000);
    EXPECT_EQ(written["boards"]["psu"], psu);
    // The retained configuration says what the file now holds.
    json const config = retainedOnce("config", [](json const& value) {
        return value.is_object() && value["device"].value("statusPeriod", 0) == 2000;
    });
    EXPECT_EQ(config["boards"]["psu"], psu) << config;
}

} // namespace
