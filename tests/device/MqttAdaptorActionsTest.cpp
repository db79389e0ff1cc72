#include "support/AdaptorFixture.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace devicetest {
namespace {

json const Completed = {{"completed", true}};
constexpr uint8_t ActionCommand = 4;
constexpr uint8_t BroadcastAddress = 255;

class ActionsTest : public AdaptorFixture {
protected:
    // The finished notices the recorder holds, as relative topics.
    std::vector<std::string> finishedNotices() {
        std::vector<std::string> notices;
        for (auto const& message : recorder->pending()) {
            if (message.topic.find("/finished/") != std::string::npos) {
                notices.push_back(message.topic.substr(std::string(Base).size() + 1));
            }
        }
        return notices;
    }

    // Every board's state changes once each way: any pending notice goes out.
    void everyBoardGoesOfflineAndBack() {
        for (auto const& [address, board] : engine->getBoards()) {
            engine->boardOffline.emit(address);
            engine->boardOnline.emit(address);
        }
    }

    void onBatteries() {
        engine->editCache(Psu, [](auto& cache) {
            cache.statuses.at(4).second.first = 1;
            cache.statuses.at(6).second.first = 1;
        });
    }
};

TEST_F(ActionsTest, RebootedBoardGetsOneFinishedNoticeWithTheRequestsId) {
    connect();
    startEngine();

    // The payload is not read.
    EXPECT_EQ(call("psu/action/reboot", "{not json", "r1"), Completed);

    mqtttest::Received notice;
    ASSERT_TRUE(recorder->take(below("psu/action/reboot/finished/r1"), notice));
    EXPECT_EQ(json::parse(notice.payload), Completed);
    EXPECT_FALSE(notice.retained);

    // The board comes back: the monitoring thread initialises it again.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!engine->getBoardCache(Psu).initialized && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(engine->getBoardCache(Psu).initialized);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(finishedNotices().empty());
}

TEST_F(ActionsTest, CallWaitingForASynchronousRebootIsAnswered) {
    connect();
    bringUp(Psu);
    engine->running = true; // lets the reboot's poll thread run, without a monitoring thread

    // As the firmware apply call does: the broker library's receive thread
    // waits for the reboot's poll thread, whose online signal reaches the
    // adaptor with a reboot notice due. Publishing it must not wait for the
    // library, which is busy with this call.
    client->subscribeRpc("test/rebootSync", [this](auto const&, auto const&, auto const&) {
        adaptor->boardReboot(Psu)("psu/action/reboot", "", "due");
        return MqttAdaptor::successOrCodeRPC(engine->boardRebootSync(Psu), nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the subscription is made
    EXPECT_EQ(call("test/rebootSync", "", "s1"), Completed);
    EXPECT_EQ(recorder->takePayload(below("psu/action/reboot/finished/due")), Completed.dump());
}

TEST_F(ActionsTest, OnlyTheLastSuccessfulRequestIsAnnounced) {
    connect();
    bringUp(Psu);
    auto const reboot = adaptor->boardReboot(Psu);
    EXPECT_EQ(reboot("psu/action/reboot", "", "first"), Completed.dump());
    EXPECT_EQ(reboot("psu/action/reboot", "", "second"), Completed.dump());

    // Refused on batteries: nothing sent, the pending id stays.
    onBatteries();
    size_t const before = machine.sim.requests().size();
    EXPECT_EQ(reboot("psu/action/reboot", "", "third"),
              R"({"completed":false,"error":{"code":150,"what":"OnBatteries"}})");
    EXPECT_EQ(machine.sim.requests().size(), before);

    everyBoardGoesOfflineAndBack();
    mqtttest::Received notice;
    ASSERT_TRUE(recorder->take(below("psu/action/reboot/finished/second"), notice));
    EXPECT_EQ(json::parse(notice.payload), Completed);
    EXPECT_TRUE(recorder->quiet(below("psu/action/reboot/finished/third"), 200));
    EXPECT_TRUE(finishedNotices().empty());
}

TEST_F(ActionsTest, OfflineEdgeAnnouncesARebootThatNeverComesBack) {
    connect();
    bringUp(Psu);
    EXPECT_EQ(call("psu/action/reboot", "", "gone"), Completed);
    machine.sim.setPresent(Psu, false);
    engine->boardOffline.emit(Psu);
    EXPECT_EQ(recorder->takePayload(below("psu/action/reboot/finished/gone")), Completed.dump());
}

TEST_F(ActionsTest, BroadcastsAreAnsweredWithoutNotices) {
    connect();
    bringUp(Psu);
    // The reboot last: the rebooting main board silences the gateway for a while.
    for (char const* name : {"broadcast/action/heartbeat", "broadcast/action/resetDefaults",
                             "broadcast/action/reboot"}) {
        SCOPED_TRACE(name);
        size_t const before = machine.sim.requestCount(boardsim::Filter{BroadcastAddress});
        json const reply = call(name, "", "b1");
        EXPECT_TRUE(reply.contains("completed")) << reply;
        EXPECT_FALSE(reply.contains("data"));
        EXPECT_TRUE(machine.sim.waitFor(boardsim::Filter{BroadcastAddress}, before + 1, 2000));
    }
    everyBoardGoesOfflineAndBack();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(finishedNotices().empty());
}

TEST_F(ActionsTest, SchemaActionsAndDefaultsReachTheirBoard) {
    connect();
    bringUp(Psu);
    EXPECT_EQ(call("psu/action/startBatteryTest", "", "a1"), Completed);
    EXPECT_EQ(machine.sim.requestCount(boardsim::Filter{Psu, ActionCommand, 0}), 1U);
    EXPECT_EQ(call("psu/action/resetDefaults", "ignored", "d1"), Completed);

    // A board that does not answer: the failure comes back with its code.
    machine.sim.setPresent(Light, false);
    json const failed = call("lightController/action/lampTest", "", "a2");
    EXPECT_EQ(failed["completed"], false);
    EXPECT_TRUE(failed["error"]["code"].is_number_integer()) << failed;
    EXPECT_NE(failed["error"]["code"], 0);

    everyBoardGoesOfflineAndBack();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(finishedNotices().empty());
}

} // namespace
} // namespace devicetest
