#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/LambdaTree.h"
#include "foundation/Signal.h"
#include "mqtt/Client.h"
#include "support/ClientHarness.h"
#include "support/LogWatch.h"
#include "support/mqtt/Recorder.h"

namespace {

using json = nlohmann::json;
using mqtttest::Received;

// A small published tree:
//   x/y   readable and writable integer
//   bad   a getter that always fails
//   a, c, r  values with change signals
//   obj   a getter whose object members change shape
//   cfg   a writable object whose setter renews its registrations
class TreeTopics : public ::testing::Test {
protected:
    TreeTopics() {
        LambdaTree tree;
        tree.insert({"x", LambdaTree(LambdaTree::Children{
                              {"y", LambdaTree([this] { return read(y); },
                                               [this](json const& value) { return write(value); })},
                          })});
        tree.insert({"bad", LambdaTree([] {
                         return std::make_pair(false, json{{"code", 1}, {"what", "Timeout"}});
                     })});
        tree.insert({"a", LambdaTree([this] { return read(a); }, aChanged)});
        tree.insert({"c", LambdaTree([this] { return read(c); }, cChanged)});
        tree.insert({"r", LambdaTree([this] { return read(r); }, rChanged)});
        tree.insert({"obj", LambdaTree([this] { return read(obj); })});
        // Like the service's configuration node, its setter renews the
        // node's registrations from inside the write.
        tree.insert({"cfg", LambdaTree([this] { return read(cfg); },
                                       [this](json const& value) {
                                           {
                                               std::lock_guard<std::mutex> lock(mutex);
                                               cfg = value;
                                           }
                                           renewed = harness.client->updateLambdaTreeSubscriptions(
                                               "cfg", true);
                                           return std::make_pair(true, value);
                                       })});
        harness.client->subscribeLambdaTree(tree, "");
    }

    std::pair<bool, json> read(json const& value) {
        std::lock_guard<std::mutex> lock(mutex);
        return {true, value};
    }

    std::pair<bool, json> write(json const& value) {
        ++writes;
        if (!value.is_number_integer()) {
            return {false, {{"description", "integer expected"}}};
        }
        std::lock_guard<std::mutex> lock(mutex);
        y = value;
        return {true, value};
    }

    void change(Signal<>& signal, json& value, json const& to) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            value = to;
        }
        signal.emit();
    }

    std::string rpc(std::string const& name, std::string const& payload, int qos = 0) {
        static int id = 100;
        std::string const suffix = std::to_string(++id);
        harness.client->onMessageReceived("b/" + name + "/request/" + suffix, payload, qos, false);
        return harness.recorder->takePayload("b/" + name + "/response/" + suffix);
    }

    json takeJson(std::string const& topic) {
        std::string const payload = harness.recorder->takePayload(topic);
        return payload.empty() ? json("nothing published") : json::parse(payload);
    }

    // Signals first: the client's copies of the nodes refer to them.
    Signal<> aChanged;
    Signal<> cChanged;
    Signal<> rChanged;
    std::mutex mutex; // guards the values below
    json y = 1;
    json a = "a0";
    json c = "c0";
    json r = "r0";
    json obj = {{"p", 1}, {"q", 2}};
    json cfg = {{"k1", 1}};
    std::atomic<bool> renewed{false};
    std::atomic<int> writes{0};
    mqtttest::ClientHarness harness;
};

TEST_F(TreeTopics, TheFirstConnectionServesEveryNodeInBothForms) {
    ASSERT_TRUE(harness.startClient());
    struct Get {
        char const* request;
        char const* valueTopic;
    };
    for (auto const& get : {Get{"b/x/y/get", "b/x/y"}, Get{"b/x/get", "b/x"}, Get{"b/get", "b"},
                            Get{"b/obj/q/get", "b/obj/q"}}) {
        ASSERT_TRUE(harness.recorder->publish(get.request, ""));
        EXPECT_NE(harness.recorder->takePayload(get.valueTopic), "") << get.request;
    }
    // Writable nodes and the groups above them take sets; an empty one
    // publishes without writing.
    for (auto const& set : {Get{"b/x/y/set", "b/x/y"}, Get{"b/x/set", "b/x"}, Get{"b/set", "b"}}) {
        ASSERT_TRUE(harness.recorder->publish(set.request, ""));
        EXPECT_NE(harness.recorder->takePayload(set.valueTopic), "") << set.request;
    }
    EXPECT_EQ(writes, 0);
    for (char const* name : {"x/y/get", "x/y/set", "x/get", "x/set", "get", "set", "a/monitor"}) {
        std::string const topic = std::string("b/") + name + "/request/1";
        ASSERT_TRUE(harness.recorder->publish(topic, ""));
        EXPECT_NE(harness.recorder->takePayload(std::string("b/") + name + "/response/1"), "")
            << name;
    }
    // A node without a change signal offers no monitor; a read-only one no
    // set. (The root's get above reported the failing getter: drop that.)
    harness.recorder->clear();
    for (char const* topic : {"b/x/y/monitor", "b/obj/set"}) {
        harness.client->onMessageReceived(topic, "", 0, false);
        EXPECT_EQ(takeJson("b/error")["error"], "Unknown topic") << topic;
    }
}

// The tree's topics are derived at each client's first connection, not
// only at the first one in the process.
TEST_F(TreeTopics, AnotherClientOfTheProcessServesItsOwnTree) {
    ASSERT_TRUE(harness.startClient());
    mqtttest::ClientHarness other("o");
    LambdaTree tree;
    tree.insert({"v", LambdaTree([] { return std::make_pair(true, json(3)); })});
    other.client->subscribeLambdaTree(tree, "");
    ASSERT_TRUE(other.startClient());
    ASSERT_TRUE(other.recorder->publish("o/v/get", ""));
    EXPECT_EQ(other.recorder->takePayload("o/v"), "3");
    EXPECT_EQ(rpc("x/y/get", ""), R"({"completed":true,"data":1})");
}

TEST_F(TreeTopics, GetPublishesTheValueAndReportsFailingGetters) {
    ASSERT_TRUE(harness.startClient());
    harness.client->onMessageReceived("b/get", "ignored", 0, false);
    json const whole = takeJson("b");
    EXPECT_EQ(whole["x"], json({{"y", 1}}));
    EXPECT_EQ(whole["obj"], json({{"p", 1}, {"q", 2}}));
    EXPECT_TRUE(whole["bad"].is_null());
    // The whole tree's get also reports the failing getter.
    EXPECT_EQ(takeJson("b/error")["error"], json({{"bad", {{"code", 1}, {"what", "Timeout"}}}}));

    harness.client->onMessageReceived("b/bad/get", "", 0, false);
    EXPECT_EQ(takeJson("b/error"),
              json::parse(R"({"command":"bad/get","error":{"bad":{"code":1,"what":"Timeout"}}})"));
    EXPECT_EQ(harness.recorder->takePayload("b/bad"), "null");

    EXPECT_EQ(rpc("x/y/get", ""), R"({"completed":true,"data":1})");
    EXPECT_EQ(rpc("bad/get", ""),
              R"({"completed":false,"error":{"bad":{"code":1,"what":"Timeout"}}})");
    EXPECT_TRUE(harness.recorder->quiet("b/x/y", 200));
}

TEST_F(TreeTopics, SetWritesParsedPayloadsAndRefusesMalformedOnes) {
    ASSERT_TRUE(harness.startClient());
    harness.client->onMessageReceived("b/x/y/set", "{", 0, false);
    EXPECT_EQ(takeJson("b/error"),
              json::parse(R"({"command":"x/y/set","error":"Malformed json"})"));
    EXPECT_TRUE(harness.recorder->quiet("b/x/y", 200));

    harness.client->onMessageReceived("b/x/y/set", "5", 0, false);
    EXPECT_EQ(harness.recorder->takePayload("b/x/y"), "5");
    harness.client->onMessageReceived("b/x/set", R"({"y":7})", 0, false);
    EXPECT_EQ(harness.recorder->takePayload("b/x"), R"({"y":7})");

    // A refused write reports the setter's error under the node's path and
    // still publishes the node.
    harness.client->onMessageReceived("b/x/y/set", R"("text")", 0, false);
    EXPECT_EQ(
        takeJson("b/error"),
        json::parse(R"({"command":"x/y/set","error":{"x/y":{"description":"integer expected"}}})"));
    EXPECT_EQ(harness.recorder->takePayload("b/x/y"), "7");
    EXPECT_EQ(writes, 3);

    EXPECT_EQ(rpc("x/y/set", "{"),
              R"({"completed":false,"error":{"description":"Malformed json"}})");
    EXPECT_EQ(rpc("x/y/set", "9"), R"({"completed":true,"data":9})");
    EXPECT_EQ(harness.recorder->takePayload("b/x/y"), "9");
    EXPECT_EQ(rpc("x/y/set", "[]"),
              R"({"completed":false,"data":9,"error":{"x/y":{"description":"integer expected"}}})");
    EXPECT_EQ(rpc("x/y/set", ""), R"({"completed":true,"data":9})");
    EXPECT_EQ(writes, 5);
}

TEST_F(TreeTopics, PayloadsNestedDeeperThan64LevelsAreMalformed) {
    ASSERT_TRUE(harness.startClient());
    auto nested = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    // A bracket inside a string does not count.
    std::string const quoted = "[\"" + std::string(100, '[') + "\"]";
    EXPECT_EQ(rpc("x/y/set", nested(64)),
              R"({"completed":false,"data":1,"error":{"x/y":{"description":"integer expected"}}})");
    EXPECT_EQ(rpc("x/y/set", quoted),
              R"({"completed":false,"data":1,"error":{"x/y":{"description":"integer expected"}}})");
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(rpc("x/y/set", nested(65)),
              R"({"completed":false,"error":{"description":"Malformed json"}})");
    harness.client->onMessageReceived("b/x/y/set", nested(100000), 0, false);
    EXPECT_EQ(takeJson("b/error")["error"], "Malformed json");
    EXPECT_EQ(rpc("a/monitor", "{\"active\":" + nested(65) + "}"),
              R"({"completed":false,"error":{"description":"Malformed json"}})");
    EXPECT_EQ(writes, 2);
}

TEST_F(TreeTopics, MonitorRequestsReadTheirPayloads) {
    ASSERT_TRUE(harness.startClient());
    struct MonitorCase {
        char const* payload;
        char const* reply;
    };
    std::string const skipRefusal =
        R"({"code":22,"description":"'skipChangesForMs' must be a whole number of milliseconds )"
        R"(from 0 to 86400000","what":"InvalidParameter"})";
    std::string const skipRefusedText = R"({"completed":false,"error":)" + skipRefusal + "}";
    char const* const SkipRefused = skipRefusedText.c_str();
    MonitorCase const cases[] = {
        {"", R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})"},
        {"{", R"({"completed":false,"error":{"description":"Malformed json"}})"},
        {"{}", R"({"completed":false,"error":{"description":"'active' must be boolean"}})"},
        {"true", R"({"completed":false,"error":{"description":"'active' must be boolean"}})"},
        {R"({"active":1})",
         R"({"completed":false,"error":{"description":"'active' must be boolean"}})"},
        {R"({"active":true,"skipChangesForMs":-1})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":1e300})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":86400001})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":18446744073709551615})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":2.5})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":"9"})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":null})", SkipRefused},
        {R"({"active":false,"skipChangesForMs":-1})", SkipRefused},
        {R"({"active":true,"skipChangesForMs":250})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":250}})"},
        {R"({"active":true,"skipChangesForMs":86400000})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":86400000}})"},
        {R"({"active":true,"skipChangesForMs":1e3})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":1000}})"},
        {R"({"active":true,"skipChangesForMs":0})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})"},
        {R"({"active":false})", R"({"completed":true,"data":{"active":false}})"},
        // Disabling what is not enabled answers the same.
        {R"({"active":false})", R"({"completed":true,"data":{"active":false}})"},
    };
    for (auto const& testCase : cases) {
        EXPECT_EQ(rpc("a/monitor", testCase.payload), testCase.reply) << testCase.payload;
    }
    // The command form reports the same errors on the error topic.
    harness.client->onMessageReceived("b/a/monitor", "{}", 0, false);
    EXPECT_EQ(takeJson("b/error"),
              json::parse(R"({"command":"a/monitor","error":"'active' must be boolean"})"));
    harness.client->onMessageReceived("b/a/monitor", R"({"active":true,"skipChangesForMs":-1})", 0,
                                      false);
    EXPECT_EQ(takeJson("b/error"),
              json({{"command", "a/monitor"}, {"error", json::parse(skipRefusal)}}));
    EXPECT_TRUE(harness.recorder->quiet("b/a", 200));
}

TEST_F(TreeTopics, MonitorsPublishChangesUntilDisabled) {
    testsupport::LogWatch log;
    ASSERT_TRUE(harness.startClient());
    // The command form publishes the value at once; enabling again replaces
    // the monitor.
    harness.client->onMessageReceived("b/a/monitor", "", 0, false);
    EXPECT_EQ(harness.recorder->takePayload("b/a"), R"("a0")");
    harness.client->onMessageReceived("b/a/monitor", "", 0, false);
    EXPECT_EQ(harness.recorder->takePayload("b/a"), R"("a0")");
    EXPECT_EQ(log.count("Monitor 'a' already enabled. Disabling"), 1u);

    change(aChanged, a, "a1");
    EXPECT_EQ(harness.recorder->takePayload("b/a"), R"("a1")");
    EXPECT_TRUE(harness.recorder->quiet("b/a", 200)) << "one callback per monitor";

    // A monitor on the root reports a change anywhere below it.
    EXPECT_EQ(rpc("monitor", ""),
              R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})");
    EXPECT_TRUE(harness.recorder->quiet("b", 200)) << "the call form publishes nothing on enabling";
    change(cChanged, c, "c1");
    EXPECT_EQ(takeJson("b")["c"], "c1");

    harness.client->onMessageReceived("b/a/monitor", R"({"active":false,"skipChangesForMs":7})", 0,
                                      false);
    EXPECT_EQ(rpc("monitor", R"({"active":false})"),
              R"({"completed":true,"data":{"active":false}})");
    change(aChanged, a, "a2");
    EXPECT_TRUE(harness.recorder->quiet("b/a", 300));
    EXPECT_TRUE(harness.recorder->quiet("b", 0));

    struct LogLine {
        char const* text;
        size_t times;
    };
    LogLine const lines[] = {
        {"[MQTT::Client] Requested monitor enable 'a' (skipChangesForMs=0ms)", 2},
        {"[MQTT::Client] Activating monitor for 'a'", 2},
        {"[MQTT::Client] Requested monitor enable '' (skipChangesForMs=0ms)", 1},
        {"[MQTT::Client] Activating monitor for ''", 1},
        {"[MQTT::Client] Requested monitor disable 'a' (skipChangesForMs=7ms)", 1},
        {"[MQTT::Client] Stopping monitor 'a'", 1},
        {"[MQTT::Client] Requested monitor disable '' (skipChangesForMs=0ms)", 1},
        {"[MQTT::Client] Stopping monitor ''", 1},
    };
    for (auto const& line : lines) {
        EXPECT_EQ(log.count(line.text), line.times) << line.text;
    }
}

// Grafts below the root a node "hook" whose getter calls hook first, so a
// test can make a refresh of the root slow or hold it.
void graftHook(MQTT::Client& client, std::function<void()> hook) {
    LambdaTree tree;
    tree.insert({"hook", LambdaTree([hook] {
                     hook();
                     return std::make_pair(true, json(0));
                 })});
    ASSERT_TRUE(client.subscribeLambdaTree(tree, ""));
}

// The values of a in the root's publications, taken until none came for
// 300 ms.
std::vector<std::string> publishedValuesOfA(mqtttest::Recorder& recorder) {
    std::vector<std::string> values;
    mqtttest::Received message;
    while (values.size() < 20000 && recorder.take("b", message, 300)) {
        values.push_back(json::parse(message.payload, nullptr, false).value("a", ""));
    }
    return values;
}

// Holds the threads that pass it while closed (bounded); shared with the
// getters that outlive a test's locals.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> lock(mutex);
        held = closed;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [this] { return !closed; });
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = false;
        }
        changed.notify_all();
    }
    bool holdsAThread() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [this] { return held; });
    }

private:
    std::mutex mutex; // guards closed and held
    std::condition_variable changed;
    bool closed = false;
    bool held = false;
};

TEST_F(TreeTopics, ChangesWhileARefreshWaitsJoinIt) {
    ASSERT_TRUE(harness.startClient());
    auto const gate = std::make_shared<Gate>();
    graftHook(*harness.client, [gate] { gate->pass(); });
    EXPECT_EQ(rpc("monitor", ""),
              R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})");

    // The first change's refresh is held while a burst of changes comes.
    gate->close();
    change(aChanged, a, "a0");
    ASSERT_TRUE(gate->holdsAThread());
    int const burst = 10000;
    for (int i = 1; i <= burst; ++i) {
        change(aChanged, a, "a" + std::to_string(i));
    }
    gate->open();

    // The held refresh, then one for the whole burst, with its last value.
    std::vector<std::string> const values = publishedValuesOfA(*harness.recorder);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values.back(), "a" + std::to_string(burst));
}

TEST_F(TreeTopics, ASustainedRateOfChangesKeepsTheMonitorCurrent) {
    ASSERT_TRUE(harness.startClient());
    // Each refresh of the root costs 2 ms; changes come about ten times as
    // often for a second.
    graftHook(*harness.client, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    EXPECT_EQ(rpc("monitor", ""),
              R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})");
    auto const begin = std::chrono::steady_clock::now();
    int changes = 0;
    while (changes < 10000 && std::chrono::steady_clock::now() - begin < std::chrono::seconds(1)) {
        change(aChanged, a, "a" + std::to_string(++changes));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto const end = std::chrono::steady_clock::now();

    // No backlog: the publications end soon after the changes, the last
    // with the final value, no more of them than the refreshes' time allowed.
    std::vector<std::string> const values = publishedValuesOfA(*harness.recorder);
    auto const drainedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - end)
                               .count();
    EXPECT_LT(drainedMs, 1000);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), "a" + std::to_string(changes));
    EXPECT_LE(values.size(), static_cast<size_t>((end - begin) / std::chrono::milliseconds(2) + 2));
}

TEST_F(TreeTopics, TheSkipTimeIsSharedByAllMonitorsOfAForm) {
    ASSERT_TRUE(harness.startClient());
    harness.client->onMessageReceived("b/a/monitor", R"({"active":true,"skipChangesForMs":1000})",
                                      0, false);
    harness.client->onMessageReceived("b/c/monitor", R"({"active":true,"skipChangesForMs":1000})",
                                      0, false);
    ASSERT_EQ(harness.recorder->takePayload("b/a"), R"("a0")");
    ASSERT_EQ(harness.recorder->takePayload("b/c"), R"("c0")");
    EXPECT_EQ(rpc("r/monitor", ""),
              R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})");

    // The first change of a form starts its clock and is not published with
    // a skip time; with none it is.
    change(aChanged, a, "a1");
    change(rChanged, r, "r1");
    EXPECT_EQ(harness.recorder->takePayload("b/r"), R"("r1")");
    EXPECT_TRUE(harness.recorder->quiet("b/a", 1100));

    change(aChanged, a, "a2");
    auto const published = std::chrono::steady_clock::now();
    EXPECT_EQ(harness.recorder->takePayload("b/a"), R"("a2")");
    std::this_thread::sleep_until(published + std::chrono::milliseconds(300));
    change(cChanged, c, "c1");
    // The call form keeps its own clock.
    change(rChanged, r, "r2");
    EXPECT_EQ(harness.recorder->takePayload("b/r"), R"("r2")");
    EXPECT_TRUE(harness.recorder->quiet("b/c", 200));
    std::this_thread::sleep_until(published + std::chrono::milliseconds(1200));
    change(cChanged, c, "c2");
    EXPECT_EQ(harness.recorder->takePayload("b/c"), R"("c2")");
}

TEST_F(TreeTopics, RegistrationsFollowTheTreesShape) {
    ASSERT_TRUE(harness.startClient());
    {
        std::lock_guard<std::mutex> lock(mutex);
        obj = {{"p", 1}, {"r", 3}};
    }
    EXPECT_TRUE(harness.client->updateLambdaTreeSubscriptions("obj", true));
    ASSERT_TRUE(harness.probe());
    harness.client->onMessageReceived("b/obj/q/get", "", 0, false);
    EXPECT_EQ(takeJson("b/error")["error"], "Unknown topic");
    harness.client->onMessageReceived("b/obj/q/request/5", "", 0, false);
    EXPECT_EQ(takeJson("b/error")["error"], "Unknown topic");
    ASSERT_TRUE(harness.recorder->publish("b/obj/r/get", ""));
    EXPECT_EQ(harness.recorder->takePayload("b/obj/r"), "3");

    EXPECT_FALSE(harness.client->updateLambdaTreeSubscriptions("no/such/node", true));
    MQTT::Client empty("b", "MQTT");
    EXPECT_FALSE(empty.updateLambdaTreeSubscriptions("", false));
}

TEST_F(TreeTopics, ASetterMayRenewTheRegistrationsOfItsNode) {
    ASSERT_TRUE(harness.startClient());
    ASSERT_TRUE(harness.recorder->publish("b/cfg/set", R"({"k2":2})"));
    EXPECT_EQ(harness.recorder->takePayload("b/cfg"), R"({"k2":2})");
    EXPECT_TRUE(renewed);
    ASSERT_TRUE(harness.probe());
    ASSERT_TRUE(harness.recorder->publish("b/cfg/k2/get", ""));
    EXPECT_EQ(harness.recorder->takePayload("b/cfg/k2"), "2");
    harness.client->onMessageReceived("b/cfg/k1/get", "", 0, false);
    EXPECT_EQ(takeJson("b/error")["error"], "Unknown topic");
}

TEST_F(TreeTopics, ASubtreeGraftedWhileRunningIsServed) {
    ASSERT_TRUE(harness.startClient());
    LambdaTree late;
    late.insert(
        {"late",
         LambdaTree(LambdaTree::Children{
             {"v", LambdaTree([] { return std::make_pair(true, json(42)); },
                              [](json const& value) { return std::make_pair(true, value); })}})});
    EXPECT_TRUE(harness.client->subscribeLambdaTree(late, "added/below"));
    ASSERT_TRUE(harness.probe());
    ASSERT_TRUE(harness.recorder->publish("b/added/below/late/v/get", ""));
    EXPECT_EQ(harness.recorder->takePayload("b/added/below/late/v"), "42");
    ASSERT_TRUE(harness.recorder->publish("b/added/below/late/set/request/1", R"({"v":1})"));
    EXPECT_EQ(harness.recorder->takePayload("b/added/below/late/set/response/1"),
              R"({"completed":true,"data":{"v":42}})");
}

// A get's reply is written from the tree's nodes without building the value;
// it must hold the bytes that the JSON library writes for the same reply
// built as a document: keys in order and escaped, empty values left out.
TEST(TreeReplies, AGetsReplyIsTheTextOfTheSameReplyBuiltAsADocument) {
    std::map<std::string, std::pair<bool, json>> const reads = {
        {"b1/mode", {true, "au\"to\n"}},
        {"b1/temperature", {true, 21.5}},
        {"b1/status", {true, {{"code", 0}, {"message", "ok"}, {"bits", {true, false}}}}},
        {"b2/voltage", {true, -3}},
        {"b2/timeout", {false, {{"code", 1}, {"what", "Timeout"}}}},
        {"b2/empty", {true, json::object()}},
        {"b2/none", {true, json::array()}},
        {"b2/null", {true, nullptr}},
        {"\u00fcml\"aut/x", {true, "\u00e9"}},
        {"q\"uote/back\\slash", {true, "\t"}},
        {"tab\there/del\x7f", {true, 1}},
    };
    LambdaTree tree;
    for (auto const& [path, answer] : reads) {
        std::string const group = path.substr(0, path.find('/'));
        std::string const name = path.substr(path.find('/') + 1);
        tree[group].insert({name, LambdaTree([answer = answer] { return answer; })});
    }
    tree["idle"]; // a group without children reads null
    MQTT::Client client("b", "MQTT");
    ASSERT_TRUE(client.subscribeLambdaTree(tree, ""));

    json data;
    json errors = json::object();
    for (auto const& [path, answer] : reads) {
        json::json_pointer const pointer("/" + path);
        data[pointer] = answer.first ? answer.second : json();
        if (!answer.first) {
            errors[path] = answer.second;
        }
    }
    data["idle"] = nullptr;
    struct Case {
        std::string path;
        json value;
        json errors;
    };
    Case const cases[] = {
        {"", data, errors},
        {"b1", data["b1"], json::object()},
        {"b2", data["b2"], errors},
        {"b1/status", data["b1"]["status"], json::object()},
        {"b2/empty", json::object(), json::object()},
        {"idle", nullptr, json::object()},
    };
    for (auto const& c : cases) {
        json expected = {{"completed", c.errors.empty()}};
        if (!c.value.empty()) {
            expected["data"] = c.value;
        }
        if (!c.errors.empty()) {
            expected["error"] = c.errors;
        }
        EXPECT_EQ(client.handleLambdaTreeRpcGet(c.path, "", "", "1"), expected.dump())
            << "'" << c.path << "'";
    }
}

} // namespace
