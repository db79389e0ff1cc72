// Texts the service does not choose: boards that answer names and messages
// that are not valid UTF-8, and requests that carry huge values. The service
// keeps running, publishes such texts with U+FFFD in place of the invalid
// bytes, and neither its other requests nor a stop wait on its log.

#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

using e2e::Base;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string const Fffd = "\xEF\xBF\xBD";

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A text as the simulator takes raw bytes.
json bytesOf(std::string const& text) {
    json bytes = json::array();
    for (unsigned char const c : text) {
        bytes.push_back(c);
    }
    return bytes;
}

class HostileTextTest : public e2e::ServiceRun {
protected:
    // The data of a call's reply; a whole tree's reply also holds the errors
    // of the nodes that could not be read, and is not completed then.
    json data(std::string const& name, std::string const& id, bool whole = false) {
        json reply = json::parse(call(name, "", id), nullptr, false);
        if (!whole) {
            EXPECT_EQ(reply.value("completed", false), true) << name << ": " << reply;
        }
        return reply.is_object() ? reply["data"] : json();
    }
};

TEST_F(HostileTextTest, BoardTextsThatAreNotUtf8ArePublishedWithReplacementCharacters) {
    json const info = {{"firmwareName", bytesOf("psu\xFF")},
                       {"firmwareVersion", 123},
                       {"boardName", bytesOf("ps\xC3u")},
                       {"boardVersion", 2},
                       {"boardId", "50535500000000000000000000000002"}};
    ASSERT_EQ(simulator->control({{"op", "setBoardInfo"}, {"addr", 1}, {"info", info}})["ok"],
              true);
    ASSERT_EQ(simulator->control({{"op", "setStatusText"},
                                  {"addr", 1},
                                  {"slot", 4},
                                  {"code", 1},
                                  {"text", bytesOf("Temp 80\xB0"
                                                   "C")}})["ok"],
              true);
    json const firmwareName = "psu" + Fffd;
    json const boardName = "ps" + Fffd + "u";
    json status = {{"code", 1}, {"message", "Temp 80" + Fffd + "C"}};

    // The start reads and publishes every status.
    json config = exampleConfig();
    config["device"]["statusPeriod"] = 200;
    startWith(config);
    EXPECT_TRUE(waitValue("psu/status/mainsLost", status)) << untaken();

    auto const expectTexts = [&](std::string const& round) {
        SCOPED_TRACE(round);
        json service = data("info/get", "info-" + round);
        EXPECT_EQ(service["device"]["boards"]["psu"]["firmwareName"], firmwareName) << service;
        EXPECT_EQ(service["device"]["boards"]["psu"]["boardName"], boardName) << service;
        json root = data("get", "root-" + round, true);
        EXPECT_EQ(root["psu"]["misc"]["info"]["firmwareName"], firmwareName);
        EXPECT_EQ(root["psu"]["status"]["mainsLost"], status);
        EXPECT_EQ(data("psu/status/mainsLost/get", "status-" + round), status);
        client->publish(std::string(Base) + "/psu/status/mainsLost/monitor", R"({"active":true})");
        EXPECT_TRUE(waitValue("psu/status/mainsLost", status)) << untaken();
    };
    expectTexts("first");

    // A change that the monitor publishes.
    ASSERT_EQ(simulator->control({{"op", "setStatusText"},
                                  {"addr", 1},
                                  {"slot", 4},
                                  {"code", 2},
                                  {"text", bytesOf("Fan \xFE")}})["ok"],
              true);
    ASSERT_EQ(simulator->control(
                  {{"op", "setStatus"}, {"addr", 1}, {"status", 1 << 4}, {"errors", 0}})["ok"],
              true);
    EXPECT_TRUE(waitValue("psu/status/mainsLost", {{"code", 2}, {"message", "Fan " + Fffd}}))
        << untaken();
    status = {{"code", 2}, {"message", "Fan " + Fffd}};

    // Each connection publishes everything again.
    broker.stop();
    ASSERT_TRUE(service->waitLog("[MQTT::Client] Disconnected from broker.", e2e::ReplyMs));
    ASSERT_TRUE(broker.restart()) << broker.logText();
    client = subscriber(std::string(Base) + "/#");
    auto const back = Clock::now();
    std::string const subscribed = "[MQTT::Client] Subscriptions thread ended!";
    std::string log = service->log();
    while (log.find(subscribed) == log.rfind(subscribed) && msSince(back) < e2e::StartMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = service->log();
    }
    ASSERT_NE(log.find(subscribed), log.rfind(subscribed)) << log;
    expectTexts("reconnected");

    EXPECT_EQ(service->stop(), 0) << service->log();
}

} // namespace
