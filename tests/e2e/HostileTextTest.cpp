// Texts the service does not choose: boards that answer names and messages
// that are not valid UTF-8, and requests that carry huge values. The service
// keeps running, publishes such texts with U+FFFD in place of the invalid
// bytes, and neither its other requests nor a stop wait on its log.

#include "support/ServiceRun.h"
#include "support/TimeScale.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <iostream>
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

// The huge value, how soon a get is answered while it is handled, and how
// soon a stop is acted on. The MQTT library hands over one message at a
// time: a request beyond the service's limit is refused unread, so a get
// behind it waits for no parse (0.6 s for 16 MB in an optimised build, before)
// and no log line of it (300 KB stalled every thread for seconds on the log).
// A prompt get has taken up to 130 ms in a sanitizer build on a busy
// machine; a get held behind the parse took seconds there.
constexpr size_t HugeBytes = 16u << 20;
// Below the request limit, far beyond a log line.
constexpr size_t ParsedBytes = 300u << 10;
// A log line's message is cut at 8192 bytes; the name, time stamp and level
// come before it.
constexpr size_t LineBytes = 8192 + 100;
constexpr int64_t AnswerMs = 400 * testsupport::TimeScale;
constexpr int64_t StopMs = 2000 * testsupport::TimeScale;

class HostileTextTest : public e2e::ServiceRun {
protected:
    // The data of a call's reply; a whole tree's reply also holds the errors
    // of the nodes that could not be read, and is not completed then.
    json data(std::string const& name, std::string const& id, bool whole = false) {
        json reply = json::parse(call(name, "", id), nullptr, false);
        if (!reply.is_object()) {
            ADD_FAILURE() << name << ": no reply";
            return json();
        }
        if (!whole) {
            EXPECT_EQ(reply.value("completed", false), true) << name << ": " << reply;
        }
        return reply["data"];
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
        json infoAnswer = data("info/get", "info-" + round);
        EXPECT_EQ(infoAnswer["device"]["boards"]["psu"]["firmwareName"], firmwareName)
            << infoAnswer;
        EXPECT_EQ(infoAnswer["device"]["boards"]["psu"]["boardName"], boardName) << infoAnswer;
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
    ASSERT_TRUE(awaitServing(2)) << service->log();
    expectTexts("reconnected");

    EXPECT_EQ(service->stop(), 0) << service->log();
}

// Where the service's log goes: the system logger, or the console where
// there is none (glibc's fallback, which writes each line while it holds
// the logger's lock).
enum class LogSink { SystemLogger, Console };

class HugeValuesTest : public HostileTextTest, public ::testing::WithParamInterface<LogSink> {
protected:
    // The length of the longest line of the text.
    static size_t longestLine(std::string const& text) {
        size_t longest = 0;
        for (size_t at = 0; at < text.size();) {
            size_t const end = std::min(text.find('\n', at), text.size());
            longest = std::max(longest, end - at);
            at = end + 1;
        }
        return longest;
    }
};

// Values far beyond any log line to each kind of node: one beyond the
// request limit, refused unread, and one below it, which is parsed, logged
// and refused (or taken) with its text built. While the service handles
// one, it answers a get on another node, every log line stays short, and a
// stop ends it at once: no thread waits on the log.
TEST_P(HugeValuesTest, HoldNeitherOtherRequestsNorAStop) {
    json config = exampleConfig();
    config["mqtt"]["log"] = {{"payload", true}, {"published", true}, {"received", true}};
    service->writeConfig(config);
    bool const console = GetParam() == LogSink::Console;
    if (console) {
        if (!service->startWithoutSystemLogger({"--verbose", "9"})) {
            GTEST_SKIP() << "no mount namespace of its own for the service";
        }
    } else {
        service->start({"--verbose", "9"});
    }
    ASSERT_TRUE(service->waitLog("[Engine] Started!")) << service->log();
    ASSERT_TRUE(awaitServing()) << service->log();
    std::string const get = "psu/telemetry/inputVoltage/get";
    json const voltage = {{"completed", true}, {"data", 24.12}};
    // Right after the start the monitoring loop may still be bringing the
    // board back (its getters answer Timeout until then).
    bool ready = false;
    for (int attempt = 0; attempt < 40 && !ready; ++attempt) {
        ready = json::parse(call(get, "", "ready-" + std::to_string(attempt)), nullptr, false) ==
                voltage;
        if (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    ASSERT_TRUE(ready) << service->log();

    struct Case {
        char const* kind;
        char const* name;
    };
    Case const cases[] = {
        {"enumeration", "psu/config/fanMode/set"},
        {"integer", "psu/config/batteryLowThreshold/set"},
        {"boolean", "psu/config/outputEnabled/set"},
        {"number", "psu/config/chargeVoltageLimit/set"},
        {"colour", "lightController/config/lightRgb1/set"},
        {"main board setting", "mainBoard/misc/network/ip/set"},
        {"configuration section", "config/set"},
        {"monitor", "psu/status/mainsLost/monitor"},
        {"action", "psu/action/startBatteryTest"},
        {"file action", "main/action/fileDelete"},
    };
    struct Size {
        char const* kind;
        std::string value;
        char const* refusal; // a text the reply holds, if any
    };
    Size const sizes[] = {
        {"beyond the limit", json(std::string(HugeBytes, 'x')).dump(),
         "Payload too large: 16777218 bytes"},
        {"parsed", json(std::string(ParsedBytes, 'x')).dump(), nullptr},
    };
    // The huge values go out on a connection of their own, and the getting
    // client hears nothing but its replies: a client of this test would
    // otherwise spend the time on the huge texts itself.
    client = subscriber(topic(get + "/response/#"));
    auto const sender = subscriber(topic("error"));
    int index = 0;
    for (Size const& size : sizes) {
        for (Case const& c : cases) {
            SCOPED_TRACE(std::string(size.kind) + ": " + c.kind);
            std::string const id = std::to_string(index++);
            std::string const name = c.name;
            ASSERT_TRUE(sender->subscribe(topic(name + "/response/huge-" + id)));
            sender->publish(topic(name + "/request/huge-" + id), size.value);
            // The get goes out once the service is at the huge value.
            ASSERT_TRUE(service->waitLog("request/huge-" + id + " : \"xxx", e2e::ReplyMs));
            auto const asked = Clock::now();
            std::string const reply = call(get, "", "get-" + id);
            int64_t const answeredMs = msSince(asked);
            EXPECT_EQ(json::parse(reply, nullptr, false), voltage);
            EXPECT_LE(answeredMs, AnswerMs);
            std::cout << size.kind << ", " << c.kind << ": get answered in " << answeredMs
                      << " ms\n";
            json const answer =
                json::parse(sender->takePayload(topic(name + "/response/huge-" + id), e2e::ReplyMs),
                            nullptr, false);
            EXPECT_TRUE(answer.is_object()) << answer;
            if (size.refusal) {
                EXPECT_EQ(answer.value("completed", true), false) << answer;
                EXPECT_NE(answer.dump().find(size.refusal), std::string::npos) << answer;
            }
        }
    }

    sender->publish(topic("psu/config/fanMode/set/request/last"), sizes[0].value);
    ASSERT_TRUE(service->waitLog("request/last : \"xxx", e2e::ReplyMs));
    auto const stopped = Clock::now();
    EXPECT_EQ(service->stop(SIGTERM), 0) << service->log();
    int64_t const stopMs = msSince(stopped);
    EXPECT_LE(stopMs, StopMs);
    std::cout << "stopped in " << stopMs << " ms\n";

    // Every line is cut where the system logger could still take it.
    EXPECT_LE(longestLine(service->log()), LineBytes);
    if (console) {
        // The last line is the one of the stop.
        EXPECT_TRUE(e2e::waitForText(service->path("console.log"), "Stopped", e2e::ReplyMs));
        std::string const text = e2e::readFile(service->path("console.log"));
        EXPECT_NE(text.find("request/huge-" + std::to_string(index - 1) + " : \"xxx"),
                  std::string::npos)
            << "the console got no log";
        EXPECT_LE(longestLine(text), LineBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(LogSinks, HugeValuesTest,
                         ::testing::Values(LogSink::SystemLogger, LogSink::Console),
                         [](::testing::TestParamInfo<LogSink> const& sink) {
                             return sink.param == LogSink::Console ? "Console" : "SystemLogger";
                         });

} // namespace
