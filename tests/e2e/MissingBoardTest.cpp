// A board that is missing, from the start or since it stopped answering, and
// a gateway that falls silent, as an operator meets them: what the service
// logs and what its clients read.

#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {

using e2e::occurrences;
using nlohmann::json;

bool completed(json const& reply) {
    return reply.is_object() && reply.value("completed", false);
}

// A get refused with Timeout:
// {"completed":false,"error":{"<node>":{"code":1,"what":"Timeout"}}}.
bool timedOut(json const& reply) {
    if (!reply.is_object() || reply.value("completed", true)) {
        return false;
    }
    json const errors = reply.value("error", json::object());
    return errors.size() == 1 && errors.begin().value() == json({{"code", 1}, {"what", "Timeout"}});
}

class MissingBoardTest : public e2e::ServiceRun {
protected:
    void control(json const& request) const {
        json const answer = simulator->control(request);
        ASSERT_EQ(answer.value("ok", false), true) << request << " -> " << answer;
    }

    void setPsuPresent(bool present) const {
        control({{"op", "present"}, {"addr", 1}, {"value", present}});
    }

    // Absent boards silent, the power supply as given, a short status period.
    void start(bool psuPresent) {
        control({{"op", "absentMode"}, {"value", "silent"}});
        setPsuPresent(psuPresent);
        json config = exampleConfig();
        config["device"]["statusPeriod"] = StatusPeriodMs;
        startWith(config);
    }

    // A get as a call: its reply, or null when none came.
    json get(std::string const& name) {
        return json::parse(call(name + "/get", "", "get-" + std::to_string(++calls)), nullptr,
                           false);
    }

    // The get repeated (bounded) until its reply passes `accept`: the last reply.
    json getUntil(std::string const& name, std::function<bool(json const&)> const& accept) {
        json reply;
        for (int attempt = 0; attempt < 40; ++attempt) {
            reply = get(name);
            if (accept(reply)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return reply;
    }

    // The boards that "info" lists, with null for those it cannot describe.
    json infoBoards() { return get("info").value("data", json::object())["device"]["boards"]; }

    // The main board and the light controller answer their values, info
    // describes them, and the light controller's cache is refreshed cycle
    // after cycle.
    void expectOthersServed() {
        for (std::string const node :
             {"mainBoard/telemetry/boardTemperature", "lightController/telemetry/ledCurrent"}) {
            EXPECT_TRUE(completed(getUntil(node, completed))) << node << "\n" << service->log();
        }
        json const boards = infoBoards();
        EXPECT_TRUE(boards["mainBoard"].is_object()) << boards;
        EXPECT_TRUE(boards["lightController"].is_object()) << boards;
        EXPECT_TRUE(boards["psu"].is_null()) << boards;
        json const away = get("psu/telemetry/inputVoltage");
        EXPECT_TRUE(timedOut(away)) << away;
        // Polled cycle after cycle: its requests go on, and its cache ages
        // (the time between the latest two passes of a kind) are taken.
        int64_t const before = lightRequests();
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * StatusPeriodMs));
        EXPECT_GT(lightRequests(), before + 20) << service->log();
        json const ages = get("statistics/cache")["data"]["caheAge"]["lightController"];
        EXPECT_GT(ages.value("status", 0), 0) << ages;
        EXPECT_GT(ages.value("config", 0), 0) << ages;
    }

    // The requests sent to the light controller so far.
    int64_t lightRequests() {
        json const bus = get("statistics/bus").value("data", json::object());
        return bus.value("lightController", json::object()).value("transmited", int64_t(0));
    }

    // The power supply answers again: it is set up and served.
    void expectPsuBack() {
        setPsuPresent(true);
        EXPECT_TRUE(completed(getUntil("psu/telemetry/inputVoltage", completed))) << service->log();
        EXPECT_TRUE(infoBoards()["psu"].is_object());
        EXPECT_TRUE(service->waitLog("[Parser] Setting psu online", e2e::ReplyMs));
        EXPECT_TRUE(service->waitLog("[Engine] boardInitEmergency(psu)", e2e::ReplyMs));
    }

    static constexpr int StatusPeriodMs = 200;
    int calls = 0;
};

TEST_F(MissingBoardTest, ABoardAbsentFromTheStartLeavesTheOthersServed) {
    start(false);
    std::string const startLog = service->log();
    EXPECT_EQ(occurrences(startLog, "[Engine] Could not initialize psu"), 1u) << startLog;
    EXPECT_EQ(occurrences(startLog, "[Engine] Initialized lightController"), 1u) << startLog;
    expectOthersServed();
    expectPsuBack();
    // Each cycle took the bus away before; at most a heartbeat lost to a
    // loaded machine may now.
    std::string const log = service->log();
    EXPECT_LE(occurrences(log, "[Parser] Setting bus offline"), 1u) << log;
    EXPECT_EQ(occurrences(log, "Dropping request"), 0u) << log;
}

TEST_F(MissingBoardTest, ABoardThatStopsAnsweringLeavesTheOthersServed) {
    start(true);
    ASSERT_TRUE(completed(getUntil("psu/telemetry/inputVoltage", completed))) << service->log();
    setPsuPresent(false);
    EXPECT_TRUE(timedOut(getUntil("psu/telemetry/inputVoltage", timedOut))) << service->log();
    expectOthersServed();
    // Its drop-out took the bus away once, until the main board's next
    // answer (a heartbeat lost to a loaded machine aside).
    std::string const log = service->log();
    EXPECT_EQ(occurrences(log, "[Parser] Setting psu offline: (response=Timeout"), 1u) << log;
    EXPECT_LE(occurrences(log, "[Parser] Setting bus offline: Timeout"), 2u) << log;
    EXPECT_LE(occurrences(log, "[Parser] Setting mainBoard online"), 3u) << log;
    expectPsuBack();
}

TEST_F(MissingBoardTest, ASilentGatewayTakesTheBusOfflineUntilItAnswers) {
    start(true);
    ASSERT_TRUE(completed(getUntil("lightController/telemetry/ledCurrent", completed)));
    control({{"op", "gatewayOnline"}, {"value", false}});
    ASSERT_TRUE(service->waitLog("[Parser] Setting bus offline: Timeout", e2e::ReplyMs));
    for (std::string const node :
         {"mainBoard/telemetry/boardTemperature", "lightController/telemetry/ledCurrent"}) {
        EXPECT_TRUE(timedOut(getUntil(node, timedOut))) << node;
    }
    EXPECT_TRUE(infoBoards()["mainBoard"].is_null());

    control({{"op", "gatewayOnline"}, {"value", true}});
    for (std::string const node :
         {"mainBoard/telemetry/boardTemperature", "lightController/telemetry/ledCurrent",
          "psu/telemetry/inputVoltage"}) {
        EXPECT_TRUE(completed(getUntil(node, completed))) << node << "\n" << service->log();
    }
    EXPECT_TRUE(infoBoards()["mainBoard"].is_object());
}

} // namespace
