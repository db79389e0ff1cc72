#include "support/AdaptorFixture.h"

#include "engine/Status.h"
#include "foundation/LambdaTree.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace devicetest {
namespace {

using velt::ZRV480::BoardManager::Manager::EngineState;
using velt::ZRV480::BoardManager::Manager::Status;

class PublicationsTest : public AdaptorFixture {
protected:
    PublicationsTest() = default;
    explicit PublicationsTest(std::string const& schemaXml) : AdaptorFixture(schemaXml) {}

    // The value of a retained status node as a client that subscribes now
    // reads it, waiting (bounded) for the service to retain it; null when it
    // did not.
    json retainedValue(std::string const& node) {
        for (int attempt = 0; attempt < 25; ++attempt) {
            mqtttest::Received message;
            if (lateSubscriber(below(node))->take(below(node), message, 200) && message.retained) {
                return json::parse(message.payload, nullptr, false);
            }
        }
        return nullptr;
    }

    // The retained value of `node` once `wanted` holds for it (the service
    // publishes from its own thread), else the last one read: a client that
    // subscribes again and again, for at most 5 s.
    json retainedOnce(std::string const& node, std::function<bool(json const&)> const& wanted) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        auto late = lateSubscriber(below(node));
        json value;
        while (true) {
            mqtttest::Received message;
            if (late->take(below(node), message, 500) && message.retained) {
                value = json::parse(message.payload, nullptr, false);
            }
            if (wanted(value) || std::chrono::steady_clock::now() > deadline) {
                return value;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            late->unsubscribe(below(node));
            late->clear();
            late->subscribe(below(node));
        }
    }

    // The boards of the retained "info" once `board`'s information is there
    // (`known`) or null (not `known`).
    json retainedBoards(std::string const& board, bool known) {
        return retainedOnce("info", [&](json const& info) {
            json const boards = info.is_object() ? info["device"]["boards"] : json();
            return boards.is_object() && boards.contains(board) &&
                   boards.at(board).is_null() != known;
        })["device"]["boards"];
    }

    // The retained "status" as a client that subscribes now reads it.
    json retainedStatus() {
        auto late = lateSubscriber(below("status"));
        mqtttest::Received status;
        EXPECT_TRUE(late->take(below("status"), status));
        EXPECT_TRUE(status.retained);
        return json::parse(status.payload, nullptr, false);
    }
};

TEST_F(PublicationsTest, ConnectionPublishesInfoThenStatusRetained) {
    client->start();
    ASSERT_TRUE(client->waitConnected(5000));

    // The fixture schema has no "main/status/security" and there is no
    // "config" node here: both are skipped.
    EXPECT_EQ(topicsUntil("status"), (std::vector<std::string>{"info", "status"}));

    auto late = lateSubscriber(below("#"));
    mqtttest::Received info;
    ASSERT_TRUE(late->take(below("info"), info));
    EXPECT_TRUE(info.retained);
    EXPECT_EQ(info.qos, 0);
    EXPECT_EQ(json::parse(info.payload)["service"]["version"], "3.1.5");
    EXPECT_TRUE(late->quiet(below("firmwareUpgrade"), 300));
}

TEST_F(PublicationsTest, ConnectionAlsoPublishesFirmwareUpgradeWhilePendingReboot) {
    engine->state.with([&](EngineState& s) {
        s.status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
    });
    client->start();
    ASSERT_TRUE(client->waitConnected(5000));

    EXPECT_EQ(topicsUntil("firmwareUpgrade"),
              (std::vector<std::string>{"info", "status", "firmwareUpgrade"}));
    // Not retained: a later subscriber does not get it.
    EXPECT_TRUE(lateSubscriber(below("firmwareUpgrade"))->quiet(below("firmwareUpgrade"), 300));
}

// The fixture schema with the main board named "main" and its status slot 1
// named "Security": the one schema that has a "main/status/security" node.
std::string securitySchema() {
    return fixtureSchemaWith({{"<name>Main Board</name>", "<name alias=\"main\">Main Board</name>"},
                              {"<name>Bus Error</name>", "<name>Security</name>"}});
}

class SecurityPublicationTest : public PublicationsTest {
protected:
    SecurityPublicationTest() : PublicationsTest(securitySchema()) {}
};

TEST_F(SecurityPublicationTest, ConnectionRetainsTheMainBoardsSecurityStatus) {
    bringUp(Main);
    client->start();
    ASSERT_TRUE(client->waitConnected(5000));
    // After the connection's own notices, the announced statuses are retained
    // again: the node may come twice.
    std::vector<std::string> topics = topicsUntil("main/status/security");
    topics.resize(std::min<size_t>(topics.size(), 3));
    EXPECT_EQ(topics, (std::vector<std::string>{"info", "status", "main/status/security"}));
    EXPECT_EQ(retainedValue("main/status/security"), json({{"code", 0}, {"message", "OK"}}));
}

TEST_F(PublicationsTest, RetainedStatusFollowsTheEngineThroughStartAndStop) {
    connect();
    json const before = retainedStatus();
    EXPECT_EQ(before["service"], false);
    EXPECT_EQ(before["device"], (json{{"active", true}, {"firmwareUpgrade", "None"}}));

    startEngine();
    EXPECT_EQ(retainedStatus()["service"], true);

    engine->stop();
    EXPECT_EQ(retainedStatus()["service"], false);
    // The stop publication comes before the client is stopped.
    EXPECT_FALSE(client->isRunning());
}

TEST_F(PublicationsTest, RetainedInfoFollowsTheStartAndEachBoardsOnlineChanges) {
    // Connected before the start, as the service is: no board is known yet.
    connect();
    for (char const* board : {"mainBoard", "psu", "lightController"}) {
        EXPECT_TRUE(retainedBoards(board, false).at(board).is_null()) << board;
    }

    startEngine();
    json const boards = retainedBoards("psu", true);
    for (char const* board : {"mainBoard", "psu", "lightController"}) {
        EXPECT_TRUE(boards.at(board).contains("firmwareVersion")) << boards.dump();
    }

    // A board that drops out and comes back is told as it is each time.
    machine.sim.setPresent(Psu, false);
    EXPECT_TRUE(retainedBoards("psu", false).at("psu").is_null());
    machine.sim.setPresent(Psu, true);
    EXPECT_TRUE(retainedBoards("psu", true).at("psu").contains("firmwareVersion"));
}

TEST_F(PublicationsTest, AValueABoardAcceptsOnItsOwnTopicRetainsTheConfigurationAgain) {
    // The configuration's node as the service grafts it, with the boards'
    // values as the engine answers them.
    LambdaTree::Getter const boards = [this]() -> std::pair<bool, json> {
        return {true, {{"boards", engine->getBoardsConfig()}}};
    };
    client->subscribeLambdaTree(LambdaTree(LambdaTree::Children{{"config", LambdaTree(boards)}}),
                                "");
    connect();
    bringUp(Psu);

    ASSERT_TRUE(recorder->publish(below("psu/config/outputEnabled/set"), "false"));
    json const config = retainedOnce("config", [](json const& value) {
        return value.is_object() && value["boards"]["psu"].is_object() &&
               value["boards"]["psu"].value("outputEnabled", true) == false;
    });
    EXPECT_EQ(config["boards"]["psu"]["outputEnabled"], false) << config;
}

TEST_F(PublicationsTest, ANodeThatAppearsBelowABoardOnceOnlineIsServed) {
    // Offline when the tree is first subscribed: the board's "board" node
    // holds an error document, without the members it has once read.
    connect();
    bringUp(Psu);
    engine->boardOnline.emit(Psu);

    std::string const node = below("psu/board/status/mainsLost");
    std::string value;
    for (int attempt = 0; attempt < 25 && value.empty(); ++attempt) {
        ASSERT_TRUE(recorder->publish(node + "/get", ""));
        value = recorder->takePayload(node, 200);
    }
    EXPECT_EQ(value, "false");
}

TEST_F(PublicationsTest, StartAnnouncesEveryStatusSlotRetained) {
    connect();
    startEngine();

    auto late = lateSubscriber(below("+/status/+"));
    for (std::string const topic :
         {"psu/status/mainsLost", "psu/status/onBattery", "psu/status/overTemperature",
          "mainBoard/status/busError", "lightController/status/ledDriverFault"}) {
        mqtttest::Received status;
        ASSERT_TRUE(late->take(below(topic), status)) << topic;
        EXPECT_TRUE(status.retained) << topic;
    }
    mqtttest::Received mainsLost;
    ASSERT_TRUE(lateSubscriber(below("psu/status/mainsLost"))
                    ->take(below("psu/status/mainsLost"), mainsLost));
    EXPECT_EQ(json::parse(mainsLost.payload), (json{{"code", 0}, {"message", "Mains present"}}));
}

TEST_F(PublicationsTest, EachConnectionRetainsEveryAnnouncedStatusWithItsCurrentValue) {
    char const* const nodes[] = {"psu/status/mainsLost", "psu/status/onBattery",
                                 "psu/status/overTemperature", "mainBoard/status/busError",
                                 "lightController/status/ledDriverFault"};
    // The engine announces every slot while it starts, before the client is
    // connected: nothing can go out then, so the connection retains them.
    startEngine();
    connect();
    for (char const* node : nodes) {
        EXPECT_FALSE(retainedValue(node).is_null()) << node;
    }
    EXPECT_EQ(retainedValue("psu/status/mainsLost"),
              (json{{"code", 0}, {"message", "Mains present"}}));

    // A broker restarted without its store, and a slot that changed while
    // it was away: the reconnection retains the value read since.
    broker.stop();
    machine.sim.setStatusText(Psu, 4, 1, "Mains lost");
    machine.sim.setStatus(Psu, 1U << 4, 0); // the status pass reads the slots flagged here
    json const lost = {{"code", 1}, {"message", "Mains lost"}};
    auto const read = [this] {
        std::pair<uint64_t, std::string> status;
        engine->boardStatusSlotNGet(Psu, 4, status);
        return json{{"code", status.first}, {"message", status.second}};
    };
    for (int wait = 0; wait < 100 && read() != lost; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(read(), lost);
    ASSERT_TRUE(broker.start()) << broker.logText();
    ASSERT_TRUE(client->waitConnected(10000));
    for (char const* node : nodes) {
        EXPECT_FALSE(retainedValue(node).is_null()) << node;
    }
    EXPECT_EQ(retainedValue("psu/status/mainsLost"), lost);
}

TEST_F(PublicationsTest, EngineErrorTextIsPublishedAsItStands) {
    connect();
    engine->error.emit("bus gone {not json");
    mqtttest::Received error;
    ASSERT_TRUE(recorder->take(below("error"), error));
    EXPECT_EQ(error.payload, "bus gone {not json");
    EXPECT_FALSE(error.retained);
}

TEST(ReplyHelpersTest, CodesBecomeErrorDocumentsAndReplies) {
    struct Case {
        ErrorCode code;
        json document;
        std::string reply;
    };
    Case const cases[] = {
        {ErrorCode::Success, {{"code", 0}, {"what", "Success"}}, R"({"completed":true})"},
        {ErrorCode::Timeout,
         {{"code", 1}, {"what", "Timeout"}},
         R"({"completed":false,"error":{"code":1,"what":"Timeout"}})"},
        {ErrorCode::OnBatteries,
         {{"code", 150}, {"what", "OnBatteries"}},
         R"({"completed":false,"error":{"code":150,"what":"OnBatteries"}})"},
        {static_cast<ErrorCode>(-7),
         {{"code", -7}, {"what", "Unknown error code!"}},
         R"({"completed":false,"error":{"code":-7,"what":"Unknown error code!"}})"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.document.dump());
        EXPECT_EQ(MqttAdaptor::codeToJson(c.code), c.document);
        EXPECT_EQ(MqttAdaptor::successOrCodeRPC(c.code, nullptr), c.reply);
        auto const result = MqttAdaptor::successOrCodeLT(c.code, 42);
        EXPECT_EQ(result.first, c.code == ErrorCode::Success);
        EXPECT_EQ(result.second, c.code == ErrorCode::Success ? json(42) : c.document);
    }
    // Data rides along only on success, and only when not empty.
    EXPECT_EQ(MqttAdaptor::successOrCodeRPC(ErrorCode::Success, {{"size", 3}}),
              R"({"completed":true,"data":{"size":3}})");
    EXPECT_EQ(MqttAdaptor::successOrCodeRPC(ErrorCode::Timeout, {{"size", 3}}),
              R"({"completed":false,"error":{"code":1,"what":"Timeout"}})");
}

} // namespace
} // namespace devicetest
