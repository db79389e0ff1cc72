#include "support/AdaptorFixture.h"
#include "support/BoardRequests.h"
#include "support/CallReplies.h"
#include "support/FirmwareImage.h"

#include "engine/Firmwares.h"

#include "BoardSim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devicetest {
namespace {

using velt::ZRV480::BoardManager::Manager::EngineState;
using velt::ZRV480::BoardManager::Manager::Firmwares;
using State = Firmwares::State;
using testsupport::reboot;
using testsupport::upload;

constexpr uint8_t Service = 200;

// The next firmware of the light board (it runs version 15).
testsupport::ImageHeader const LightNext{"lights", 16, "lights", 1, "RELEASE"};

class FirmwareTest : public AdaptorFixture {
protected:
    void SetUp() override {
        AdaptorFixture::SetUp();
        connect();
    }

    std::string image(std::string const& name, testsupport::ImageHeader const& header) {
        std::string const path = machine.dir.path(name);
        testsupport::writeFirmwareImage(path, header);
        return path;
    }

    std::string upgradeRequest(std::string const& path, json force = nullptr) const {
        json request{{"firmware", path}};
        if (!force.is_null()) {
            request["force"] = force;
        }
        return request.dump();
    }

    void setReport(uint8_t address, State state, uint8_t version) {
        engine->state.with([&](EngineState& s) { s.firmwares[address] = {state, version}; });
    }

    json node() { return adaptor->firmwareUpgradeProgressGet()().second; }

    // The next `count` "firmwareUpgrade" publications, and none after them.
    std::vector<json> takeNodes(size_t count) {
        std::vector<json> nodes;
        mqtttest::Received message;
        while (nodes.size() < count && recorder->take(below("firmwareUpgrade"), message)) {
            EXPECT_FALSE(message.retained);
            nodes.push_back(json::parse(message.payload));
        }
        EXPECT_TRUE(recorder->quiet(below("firmwareUpgrade"), 200));
        return nodes;
    }

    // Every "firmwareUpgrade" publication not yet taken, in order.
    std::vector<json> publishedNodes() {
        std::vector<json> nodes;
        for (auto const& message : recorder->pending()) {
            if (message.topic == below("firmwareUpgrade")) {
                EXPECT_FALSE(message.retained);
                nodes.push_back(json::parse(message.payload));
            }
        }
        return nodes;
    }

    // Takes the finished notice of request `id` of the board and checks that
    // no second one follows.
    void expectFinished(std::string const& board, std::string const& id) {
        std::string const topic = below(board + "/action/firmwareUpgrade/finished/" + id);
        EXPECT_EQ(recorder->takePayload(topic), "{\"completed\":true}") << topic;
        EXPECT_TRUE(recorder->quiet(topic, 200)) << "a second notice on " << topic;
    }
};

TEST_F(FirmwareTest, NodeShowsReportsOfReadableBoards) {
    EXPECT_EQ(node().dump(), R"({"boards":{},"progress":100})");

    bringUp(Light);
    setReport(Light, State::pendingReboot, 16);
    setReport(Psu, State::failed, 124); // the power supply is not initialised
    EXPECT_EQ(node().dump(), R"({"boards":{"lightController":{"current":{"version":15},)"
                             R"("new":{"version":16},"progress":100,"state":"pendingReboot"}},)"
                             R"("progress":100.0})");

    bringUp(Psu);
    // Its initialisation found it rebooted and dropped its report.
    setReport(Psu, State::failed, 124);
    json const both = node();
    EXPECT_EQ(both["boards"]["psu"], (json{{"current", {{"version", 123}}},
                                           {"new", {{"version", 124}}},
                                           {"progress", 0},
                                           {"state", "failed"}}));
    EXPECT_EQ(both["progress"], 50.0);

    // A progress step, when the board has one, is its progress.
    engine->firmwareUpgradeProgress.emit(Psu, 12.5f);
    engine->firmwareUpgradeProgress.emit(Psu, 12.5f);
    takeNodes(2);
    EXPECT_EQ(node()["boards"]["psu"]["progress"], 10);

    // The service console is shown with the version its file recorded.
    engine->state.with([&](EngineState& s) {
        s.firmwares.clear();
        s.serviceConsoleVersion = 7;
    });
    setReport(Service, State::installing, 9);
    EXPECT_EQ(node().dump(), R"({"boards":{"service":{"current":{"version":7},"new":{"version":9},)"
                             R"("progress":0,"state":"installing"}},"progress":0.0})");
}

TEST_F(FirmwareTest, ProgressPublishesTheNodeEveryFiveSteps) {
    bringUp(Light);
    setReport(Light, State::installing, 16);
    for (int percent = 0; percent <= 100; ++percent) {
        engine->firmwareUpgradeProgress.emit(Light, static_cast<float>(percent));
    }
    // Uploads without a request (the service console's, the automatic run's)
    // end without a notice.
    engine->firmwareUpgradeFinished.emit(Service, ErrorCode::Success);
    engine->firmwareUpgradeFinished.emit(Light, ErrorCode::Success);

    std::vector<json> progress;
    for (auto const& published : takeNodes(23)) {
        progress.push_back(published["boards"]["lightController"]["progress"]);
    }
    // 21 steps from 0 to 100, each shown as reached; then the two ends show
    // the step the board stays at.
    std::vector<json> expected;
    for (int step = 0; step <= 100; step += 5) {
        expected.push_back(step);
    }
    expected.insert(expected.end(), {100, 100});
    EXPECT_EQ(progress, expected);
    EXPECT_EQ(node()["boards"]["lightController"]["progress"], 100);
}

TEST_F(FirmwareTest, TheEndOfAnUploadShowsWhereItEnded) {
    struct Case {
        uint8_t address;
        char const* board;
        ErrorCode result;
        State state;
        int shown; // at the end, and by a get afterwards
    };
    // Images of seven segments; the failed upload loses its last three. The
    // steps lag behind the reports.
    for (Case const c :
         {Case{Light, "lightController", ErrorCode::Success, State::pendingReboot, 100},
          Case{Psu, "psu", ErrorCode::Timeout, State::failed, 15}}) {
        SCOPED_TRACE(c.board);
        bringUp(c.address);
        setReport(c.address, State::installing, 124);
        int const segments = c.result == ErrorCode::Success ? 7 : 4;
        for (int segment = 1; segment <= segments; ++segment) {
            engine->firmwareUpgradeProgress.emit(c.address, 100.0f * segment / 7);
        }
        setReport(c.address, c.state, 124);
        engine->firmwareUpgradeFinished.emit(c.address, c.result);

        std::vector<json> progress;
        for (auto const& published : takeNodes(static_cast<size_t>(segments) + 1)) {
            progress.push_back(published["boards"][c.board]["progress"]);
        }
        std::vector<json> expected;
        for (int step = 0; step < 5 * segments; step += 5) {
            expected.push_back(step);
        }
        expected.push_back(c.shown);
        EXPECT_EQ(progress, expected);
        EXPECT_EQ(node()["boards"][c.board]["progress"], c.shown);
    }
}

TEST_F(FirmwareTest, RefusedRequestsAnswerAtOnceAndLeaveNoRequestBehind) {
    bringUp(Light);
    machine.sim.clearRequests();
    std::string const current = image("current.bin", {"lights", 15, "lights", 1, "RELEASE"});
    std::string const debug = image("debug.bin", {"lights", 16, "lights", 1, "DEBUG"});
    json const invalid = failed(ErrorCode::InvalidParameter, "InvalidParameter");
    std::vector<CallCase> const cases{
        {"lightController/action/firmwareUpgrade", "firmware", NotJson},
        {"lightController/action/firmwareUpgrade", R"(["a.bin"])", Malformed},
        {"lightController/action/firmwareUpgrade", R"({"force": true})", Malformed},
        {"lightController/action/firmwareUpgrade", R"({"firmware": 5})", Malformed},
        {"lightController/action/firmwareUpgrade", R"({"firmware": "/nonexistent.bin"})", invalid},
    };
    int id = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(call(c.name, c.payload, "r" + std::to_string(++id)), c.reply);
    }
    // The rules refuse an image of the running version, and a debug build
    // unless forced; a "force" that is not a boolean does not force.
    EXPECT_EQ(call("lightController/action/firmwareUpgrade", upgradeRequest(current), "same"),
              invalid);
    EXPECT_EQ(call("lightController/action/firmwareUpgrade", upgradeRequest(debug, "true"), "s"),
              invalid);
    EXPECT_EQ(call("lightController/action/firmwareUpgrade", upgradeRequest(debug, 1), "one"),
              invalid);
    EXPECT_TRUE(machine.sim.requests().empty());

    // An upload's end finds no request of these.
    engine->firmwareUpgradeFinished.emit(Light, ErrorCode::Success);
    EXPECT_TRUE(recorder->quiet(below("lightController/action/firmwareUpgrade/finished/#"), 300));
    for (auto const& message : recorder->pending()) {
        EXPECT_EQ(message.topic.find("/finished/"), std::string::npos) << message.topic;
    }
}

TEST_F(FirmwareTest, UpgradeCommitsOnTheBoardWithProgressAndItsNotice) {
    bringUp(Light);
    recorder->clear();
    std::string const path = image("lights.bin", LightNext);
    EXPECT_EQ(call("lightController/action/firmwareUpgrade", upgradeRequest(path), "up-1"),
              Completed);
    expectFinished("lightController", "up-1");
    EXPECT_TRUE(machine.sim.pendingFirmware(Light).has_value());

    std::vector<json> const nodes = publishedNodes();
    ASSERT_GE(nodes.size(), 2u);
    json const first = nodes.front()["boards"]["lightController"];
    EXPECT_EQ(first["progress"], 0);
    EXPECT_EQ(first["new"]["version"], 16);
    for (size_t i = 1; i + 1 < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i]["boards"]["lightController"]["progress"], 5 * i);
    }
    // The last publication is the end's: the outcome shows in the state, and
    // the progress stands where the upload ended.
    EXPECT_EQ(nodes.back()["boards"]["lightController"]["state"], "pendingReboot");
    EXPECT_EQ(nodes.back()["boards"]["lightController"]["progress"], 100);
    // With the request done its step is gone: the report's state decides.
    EXPECT_EQ(node()["boards"]["lightController"]["progress"], 100);
}

TEST_F(FirmwareTest, TwoBoardsAtOnceEachGetTheirOwnNotice) {
    bringUp(Light);
    bringUp(Psu);
    std::string const psu = image("psu.bin", {"psu", 124, "psu", 2, "DEBUG"});
    std::string const lights = image("lights.bin", LightNext);
    // The power supply's upload waits at its first segment until released.
    machine.sim.addRule({upload(Psu, 1), boardsim::Action::held(), 0, 1});

    EXPECT_EQ(call("psu/action/firmwareUpgrade", upgradeRequest(psu, true), "p"), Completed);
    ASSERT_TRUE(machine.sim.waitFor(upload(Psu, 1), 1, 5000));
    // A second request for the same board is refused; its notice stays the first's.
    EXPECT_EQ(call("psu/action/firmwareUpgrade", upgradeRequest(psu, true), "p2"),
              failed(ErrorCode::OtaLimit, "OtaLimit"));
    // The bus uploads one image at a time: the light board's upload fails at
    // once, and its end is announced under its own request.
    EXPECT_EQ(call("lightController/action/firmwareUpgrade", upgradeRequest(lights), "l"),
              Completed);
    expectFinished("lightController", "l");

    machine.sim.release();
    expectFinished("psu", "p");
    EXPECT_TRUE(recorder->quiet(below("psu/action/firmwareUpgrade/finished/p2"), 200));
    EXPECT_TRUE(machine.sim.pendingFirmware(Psu).has_value());
    EXPECT_FALSE(machine.sim.pendingFirmware(Light).has_value());
    json const shown = node();
    EXPECT_EQ(shown["boards"]["psu"]["state"], "pendingReboot");
    EXPECT_EQ(shown["boards"]["lightController"]["state"], "failed");
}

TEST_F(FirmwareTest, ApplyAnswersWithTheEnginesResult) {
    // Nothing waits for a reboot: completed at once.
    EXPECT_EQ(call("firmwareUpgrade/apply", "", "nothing"), Completed);

    // On batteries the power supply is not rebooted.
    bringUp(Psu);
    setReport(Psu, State::pendingReboot, 124);
    engine->editCache(Psu, [](auto& cache) {
        cache.statuses[4] = {ErrorCode::Success, {1, "Mains lost"}};
        cache.statuses[6] = {ErrorCode::Success, {1, "On battery"}};
    });
    machine.sim.clearRequests();
    EXPECT_EQ(call("firmwareUpgrade/apply", "{}", "batteries"),
              failed(ErrorCode::OnBatteries, "OnBatteries"));
    EXPECT_EQ(machine.sim.requestCount(reboot(Psu)), 0u);
}

TEST_F(FirmwareTest, ApplyRebootsTheUpgradedBoardsBeforeItAnswers) {
    startEngine();
    setReport(Light, State::pendingReboot, 16);
    machine.sim.clearRequests();
    // The reboots are waited for on the broker library's thread before the
    // reply (up to 10 s per board), while the board's return is published.
    ASSERT_TRUE(recorder->publish(below("firmwareUpgrade/apply/request/a"), "ignored"));
    EXPECT_EQ(recorder->takePayload(below("firmwareUpgrade/apply/response/a"), 25000),
              "{\"completed\":true}");
    EXPECT_EQ(machine.sim.requestCount(reboot(Light)), 1u);
    EXPECT_FALSE(engine->firmwareUpgradeGet().contains(Light));
}

} // namespace
} // namespace devicetest
