#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/Client.h"
#include "support/ClientHarness.h"
#include "support/LogWatch.h"
#include "support/mqtt/Recorder.h"

namespace {

using json = nlohmann::json;
using mqtttest::ClientHarness;
using mqtttest::Received;

// What handlers saw, taken on the library's receive thread.
class Seen {
public:
    MQTT::Client::CommandHandler handler(std::string const& tag) {
        return [this, tag](MQTT::Message const& message) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back({tag, message.topic, message.payload, message.retained, message.qos});
        };
    }
    struct Entry {
        std::string tag;
        std::string topic;
        std::string payload;
        MQTT::Retained retained;
        MQTT::QoS qos;
    };
    // Waits (bounded) until n entries are there.
    std::vector<Entry> wait(size_t n) {
        for (int i = 0; i < 250; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (seen.size() >= n) {
                    return seen;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::vector<Entry> seen;
};

json errorReport(mqtttest::Recorder& recorder) {
    Received message{};
    if (!recorder.take("b/error", message)) {
        return nullptr;
    }
    EXPECT_FALSE(message.retained);
    EXPECT_EQ(message.qos, 0);
    return json::parse(message.payload);
}

TEST(Commands, InternalAndExternalTopicsReachTheirHandlers) {
    ClientHarness harness;
    Seen seen;
    harness.client->subscribeCommand("x/get", seen.handler("internal"), true);
    harness.client->subscribeCommand("x/+/set", seen.handler("plus"), true);
    harness.client->subscribeCommand("other/#", seen.handler("external"), false);
    // A second registration keeps the first handler.
    harness.client->subscribeCommand("x/get", seen.handler("second"), true);
    ASSERT_TRUE(harness.startClient());

    ASSERT_TRUE(harness.recorder->publish("b/x/get", "p1", 1));
    auto entries = seen.wait(1);
    ASSERT_TRUE(harness.recorder->publish("b/x/1/set", "p2", 0));
    entries = seen.wait(2);
    ASSERT_TRUE(harness.recorder->publish("other/y", "p3", 0));
    entries = seen.wait(3);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].tag, "internal");
    EXPECT_EQ(entries[0].topic, "x/get");
    EXPECT_EQ(entries[0].payload, "p1");
    // The client subscribes with QoS 0, so the broker delivers at most that.
    EXPECT_EQ(entries[0].qos, MQTT::QoS::AtMostOnce);
    EXPECT_EQ(entries[0].retained, MQTT::Retained::No);
    EXPECT_EQ(entries[1].tag, "plus");
    EXPECT_EQ(entries[1].topic, "x/1/set");
    EXPECT_EQ(entries[2].tag, "external");
    EXPECT_EQ(entries[2].topic, "other/y");
    EXPECT_EQ(harness.recorder->takePayload("b/error", 200), "");

    // QoS 2 passes to the handler unchanged.
    harness.client->onMessageReceived("b/x/get", "p4", 2, false);
    entries = seen.wait(4);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[3].topic, "x/get");
    EXPECT_EQ(entries[3].qos, MQTT::QoS::ExactlyOnce);
}

TEST(Commands, WhereAnExactTopicAndAFilterBothMatchTheFirstInOrderTakesIt) {
    ClientHarness harness;
    Seen seen;
    // '+' sorts before letters, so "x/+" comes before "x/get"; "y/get"
    // comes before the filter that extends it.
    for (auto const& [topic, tag] : {std::pair{"x/get", "x exact"}, std::pair{"y/get", "y exact"},
                                     std::pair{"y/get/#", "y filter"}}) {
        harness.client->subscribeCommand(topic, seen.handler(tag), true);
    }
    ASSERT_TRUE(harness.startClient());
    // Registered while running.
    harness.client->subscribeCommand("x/+", seen.handler("x filter"), true);

    harness.client->onMessageReceived("b/x/get", "1", 0, false);
    harness.client->onMessageReceived("b/y/get", "2", 0, false);
    harness.client->onMessageReceived("b/y/get/z", "3", 0, false);
    // Without the filter the exact topic takes it again.
    EXPECT_TRUE(harness.client->unsubscribeCommand("x/+", true));
    harness.client->onMessageReceived("b/x/get", "4", 0, false);
    harness.client->onMessageReceived("b/x/set", "5", 0, false);

    auto const entries = seen.wait(4);
    std::vector<std::string> tags;
    for (auto const& entry : entries) {
        tags.push_back(entry.tag + " " + entry.payload);
    }
    EXPECT_EQ(tags,
              (std::vector<std::string>{"x filter 1", "y exact 2", "y filter 3", "x exact 4"}));
    EXPECT_EQ(errorReport(*harness.recorder),
              json::parse(R"({"command":"b/x/set","error":"Unknown topic"})"));
}

TEST(Commands, ARemovedCommandBecomesAnUnknownTopic) {
    testsupport::LogWatch log;
    ClientHarness harness;
    Seen seen;
    harness.client->subscribeCommand("x/get", seen.handler("x"), true);
    EXPECT_FALSE(harness.client->unsubscribeCommand("never/registered", true));
    ASSERT_TRUE(harness.startClient());
    EXPECT_TRUE(harness.client->unsubscribeCommand("x/get", true));
    EXPECT_FALSE(harness.client->unsubscribeCommand("x/get", true));

    // A message that still arrives for it finds no handler.
    harness.client->onMessageReceived("b/x/get", "", 0, false);
    EXPECT_EQ(errorReport(*harness.recorder),
              json::parse(R"({"command":"b/x/get","error":"Unknown topic"})"));
    harness.client->onMessageReceived("b/nothing", "", 0, false);
    Received report{};
    ASSERT_TRUE(harness.recorder->take("b/error", report));
    EXPECT_EQ(report.payload, R"({"command":"b/nothing","error":"Unknown topic"})");
    EXPECT_TRUE(log.waitFor("Handling of topic 'b/nothing' failed: \"Unknown topic\""));
    EXPECT_EQ(seen.wait(0).size(), 0u);
}

TEST(Commands, AThrowingHandlerIsReportedAndTheClientGoesOn) {
    ClientHarness harness;
    Seen seen;
    harness.client->subscribeCommand(
        "x/get", [](MQTT::Message const&) { throw std::runtime_error("boom"); }, true);
    harness.client->subscribeCommand("y/get", seen.handler("y"), true);
    ASSERT_TRUE(harness.startClient());
    ASSERT_TRUE(harness.recorder->publish("b/x/get", ""));
    // Named below the base topic, as the handlers' own reports are.
    EXPECT_EQ(errorReport(*harness.recorder), json::parse(R"({"command":"x/get","error":"boom"})"));
    ASSERT_TRUE(harness.recorder->publish("b/y/get", "after"));
    EXPECT_EQ(seen.wait(1).size(), 1u);
}

// A command "x/set" and a call "n" that count what reaches them.
class CommandAndCall : public ::testing::Test {
protected:
    CommandAndCall() {
        harness.client->subscribeCommand("x/set", seen.handler("x"), true);
        harness.client->subscribeRpc(
            "n", [this](std::string const&, std::string const&, std::string const&) {
                ++calls;
                return MQTT::Client::makeRpcCompleted(nullptr);
            });
    }

    ClientHarness harness;
    Seen seen;
    std::atomic<int> calls{0};
};

TEST_F(CommandAndCall, ARequestBeyondTheLimitIsRefusedUnreadInBothForms) {
    ASSERT_TRUE(harness.startClient());
    std::string const atLimit(MQTT::MaxRequestBytes, 'x');
    std::string const beyond = atLimit + 'x';
    std::string const refusal = "Payload too large: 1048577 bytes, at most 1048576";

    harness.client->onMessageReceived("b/x/set", beyond, 0, false);
    EXPECT_EQ(errorReport(*harness.recorder), json({{"command", "x/set"}, {"error", refusal}}));
    harness.client->onMessageReceived("b/n/request/1", beyond, 0, false);
    EXPECT_EQ(harness.recorder->takePayload("b/n/response/1"),
              json({{"completed", false}, {"error", {{"description", refusal}}}}).dump());
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(seen.wait(0).size(), 0u);

    harness.client->onMessageReceived("b/x/set", atLimit, 0, false);
    harness.client->onMessageReceived("b/n/request/2", atLimit, 0, false);
    EXPECT_EQ(seen.wait(1).size(), 1u);
    EXPECT_EQ(harness.recorder->takePayload("b/n/response/2"), R"({"completed":true})");
    EXPECT_EQ(calls, 1);
}

// The broker replays a retained message at every subscription: a retained
// request would be carried out again at each connection. It is reported
// once per connection with the way to clear it, and clearing it is no
// request either.
TEST_F(CommandAndCall, RetainedRequestsAreReportedNotCarriedOut) {
    testsupport::LogWatch log;
    auto const warning = [](std::string const& topic) {
        return "Retained request '" + topic +
               "' not carried out: the broker would repeat it at every connection. Clear it by "
               "publishing an empty retained message there (mosquitto_pub -r -n -t '" +
               topic + "')";
    };
    // Retained before the client is there, as an operator leaves them.
    ASSERT_TRUE(harness.recorder->publish("b/x/set", "55", 0, true));
    ASSERT_TRUE(harness.recorder->publish("b/n/request/1", "{}", 0, true));
    ASSERT_TRUE(harness.startClient());
    EXPECT_TRUE(log.waitFor(warning("b/x/set")));
    EXPECT_TRUE(log.waitFor(warning("b/n/request/1")));
    // Once per topic on a connection, however often it comes.
    harness.client->onMessageReceived("b/x/set", "55", 0, true);
    // Requests without the flag are carried out meanwhile.
    ASSERT_TRUE(harness.recorder->publish("b/n/request/2", ""));
    EXPECT_EQ(harness.recorder->takePayload("b/n/response/2"), R"({"completed":true})");
    harness.client->onMessageReceived("b/x/set", "56", 0, false);
    ASSERT_EQ(seen.wait(1).size(), 1u);
    EXPECT_EQ(seen.wait(1)[0].payload, "56");
    EXPECT_EQ(log.count(warning("b/x/set")), 1u);

    // The next connection reports them again.
    harness.client->restart();
    ASSERT_TRUE(harness.settled());
    EXPECT_TRUE(log.waitFor(warning("b/x/set"), 5000, 2));
    EXPECT_TRUE(log.waitFor(warning("b/n/request/1"), 5000, 2));

    // The broker hands the clearing empty message on without the flag.
    ASSERT_TRUE(harness.recorder->publish("b/n/request/1", "", 0, true));
    EXPECT_TRUE(log.waitFor("Retained request 'b/n/request/1' cleared, not carried out"));
    EXPECT_TRUE(harness.recorder->quiet("b/n/response/1", 200));
    // After that an empty request there is one.
    ASSERT_TRUE(harness.recorder->publish("b/n/request/1", ""));
    EXPECT_EQ(harness.recorder->takePayload("b/n/response/1"), R"({"completed":true})");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seen.wait(2).size(), 1u);
    EXPECT_TRUE(harness.recorder->quiet("b/error", 100));
}

TEST(Commands, AResponseAwaitedByACommandGoesToItFirst) {
    ClientHarness harness;
    Seen seen;
    harness.client->subscribeCommand("resp/#", seen.handler("command"), false);
    ASSERT_TRUE(harness.startClient());

    std::pair<bool, std::string> result;
    std::thread caller([&] { result = harness.client->command("req/do", "resp/do", "ask", 5000); });
    Received request{};
    ASSERT_TRUE(harness.recorder->take("req/do", request));
    EXPECT_EQ(request.payload, "ask");
    EXPECT_EQ(request.qos, 2);
    ASSERT_TRUE(harness.recorder->publish("resp/do", "answer"));
    caller.join();
    EXPECT_TRUE(result.first);
    EXPECT_EQ(result.second, "answer");
    EXPECT_EQ(seen.wait(0).size(), 0u);

    // Without a responder a zero time-out gives up at once; a late answer
    // then goes on to the other handlers.
    result = harness.client->command("req/do", "resp/do", "ask", 0);
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, "");
    ASSERT_TRUE(harness.recorder->publish("resp/do", "late"));
    auto const entries = seen.wait(1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].payload, "late");
}

MQTT::Client::RpcHandler echo(std::vector<std::string>& calls, std::mutex& mutex) {
    return [&calls, &mutex](std::string const& name, std::string const& payload,
                            std::string const& id) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(name + "|" + payload + "|" + id);
        return MQTT::Client::makeRpcCompleted(json::parse(payload));
    };
}

TEST(Rpc, RequestsAreAnsweredOnTheMatchingResponseTopic) {
    ClientHarness harness;
    std::vector<std::string> calls;
    std::mutex mutex;
    harness.client->subscribeRpc("main/action/fileDelete", echo(calls, mutex));
    harness.client->subscribeRpc("main/action/fileDelete",
                                 [](std::string const&, std::string const&, std::string const&) {
                                     return std::string("second handler");
                                 });
    ASSERT_TRUE(harness.startClient());

    ASSERT_TRUE(harness.recorder->publish("b/main/action/fileDelete/request/42", "\"f\"", 1));
    Received reply{};
    ASSERT_TRUE(harness.recorder->take("b/main/action/fileDelete/response/42", reply));
    EXPECT_EQ(reply.payload, R"({"completed":true,"data":"f"})");
    EXPECT_FALSE(reply.retained);
    EXPECT_EQ(reply.qos, 0);

    ASSERT_TRUE(harness.recorder->publish("b/main/action/fileDelete/request/ui/43", "1"));
    ASSERT_TRUE(harness.recorder->take("b/main/action/fileDelete/response/ui/43", reply));

    // The reply keeps the request's QoS, and is never retained.
    harness.client->onMessageReceived("b/main/action/fileDelete/request/45", "1", 1, false);
    ASSERT_TRUE(harness.recorder->take("b/main/action/fileDelete/response/45", reply));
    EXPECT_EQ(reply.qos, 1);

    harness.client->onMessageReceived("b/main/action/fileDelete/request/44", "2", 2, false);
    ASSERT_TRUE(harness.recorder->take("b/main/action/fileDelete/response/44", reply));
    EXPECT_EQ(reply.qos, 2);
    EXPECT_FALSE(reply.retained);

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "main/action/fileDelete|\"f\"|42", "main/action/fileDelete|1|43",
                         "main/action/fileDelete|1|45", "main/action/fileDelete|2|44"}));
}

TEST(Rpc, MalformedRequestTopicsAreNotTaken) {
    ClientHarness harness;
    std::vector<std::string> calls;
    std::mutex mutex;
    harness.client->subscribeRpc("n", echo(calls, mutex));
    ASSERT_TRUE(harness.startClient());
    for (char const* topic : {"b/n/request/", "b/n/request//42", "b/m/request/1"}) {
        harness.client->onMessageReceived(topic, "", 0, false);
        json const report = errorReport(*harness.recorder);
        EXPECT_EQ(report.value("error", ""), "Unknown topic") << topic;
        EXPECT_EQ(report.value("command", ""), topic);
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(calls.empty());
}

TEST(Rpc, AThrowingHandlerIsAnsweredAsFailed) {
    ClientHarness harness;
    harness.client->subscribeRpc(
        "n", [](std::string const&, std::string const&, std::string const&) -> std::string {
            throw std::invalid_argument("bad things");
        });
    ASSERT_TRUE(harness.startClient());
    ASSERT_TRUE(harness.recorder->publish("b/n/request/9", "{}"));
    EXPECT_EQ(harness.recorder->takePayload("b/n/response/9"),
              R"({"completed":false,"error":{"description":"bad things"}})");
    EXPECT_TRUE(harness.recorder->quiet("b/error", 200));
    EXPECT_FALSE(harness.client->unsubscribeRpc("never"));
    EXPECT_TRUE(harness.client->unsubscribeRpc("n"));
}

TEST(Rpc, ServedNamesBelowAnEmptyBase) {
    ClientHarness harness("");
    std::vector<std::string> calls;
    std::mutex mutex;
    harness.client->subscribeRpc("main/action/fileDelete", echo(calls, mutex));
    ASSERT_TRUE(harness.startClient());
    ASSERT_TRUE(harness.recorder->publish("main/action/fileDelete/request/7", "3"));
    EXPECT_EQ(harness.recorder->takePayload("main/action/fileDelete/response/7"),
              R"({"completed":true,"data":3})");
}

TEST(Rpc, TheClientSideCallsAndDropsUnexpectedReplies) {
    testsupport::LogWatch log;
    ClientHarness harness;
    std::vector<std::string> calls;
    std::mutex mutex;
    // The client calls a procedure that it serves itself, under its absolute name.
    harness.client->subscribeRpc("echo", echo(calls, mutex));
    ASSERT_TRUE(harness.startClient());
    auto const result = harness.client->rpc("b/echo", "17", 5000);
    EXPECT_TRUE(result.first);
    EXPECT_EQ(result.second, R"({"completed":true,"data":17})");
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(calls.size(), 1u);
        std::string const id = calls[0].substr(calls[0].rfind('|') + 1);
        ASSERT_EQ(id.size(), 5u);
        EXPECT_GE(std::stoi(id), 10000);
    }

    // While a call is awaited, a reply with an id nobody waits for is
    // dropped without a report.
    harness.client->subscribeExpectedRpc("other/call");
    harness.client->onMessageReceived("other/call/response/12345", "{}", 0, false);
    EXPECT_TRUE(
        log.waitFor("Detected RPC response 'other/call' with unexpected id '12345', ignoring..."));
    EXPECT_TRUE(harness.recorder->quiet("b/error", 200));

    // Nobody answers: the call times out.
    auto const silent = harness.client->rpc("nobody/home", "", 100);
    EXPECT_FALSE(silent.first);
    EXPECT_EQ(silent.second, "");
}

} // namespace
