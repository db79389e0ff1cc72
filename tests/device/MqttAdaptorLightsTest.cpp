#include "support/AdaptorFixture.h"
#include "support/CallReplies.h"
#include "support/LogCapture.h"

#include "BoardSim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devicetest {
namespace {

constexpr uint8_t Misc = 5;      // pattern requests
constexpr uint8_t ConfigSet = 3; // transitions
constexpr uint8_t LightP1 = 10;
constexpr uint8_t LightRgb1 = 20;

class LightsTest : public AdaptorFixture {
protected:
    void SetUp() override {
        AdaptorFixture::SetUp();
        connect();
        bringUp(Light);
        machine.sim.clearRequests();
    }

    std::vector<boardsim::RequestRecord> lightRequests(uint8_t command) const {
        std::vector<boardsim::RequestRecord> found;
        for (auto const& request : machine.sim.requests()) {
            if (request.address == Light && request.command == command) {
                found.push_back(request);
            }
        }
        return found;
    }

    int nextId = 1;
    json request(std::string const& name, std::string const& payload) {
        return call(name, payload, std::to_string(nextId++));
    }
};

TEST_F(LightsTest, RefusedRequestsAnswerAtOnceAndSendNothing) {
    std::vector<CallCase> const cases{
        {"light/action/lightRgb1/play", "{\"pattern\":", NotJson},
        {"light/action/lightRgb1/play", "[]", Malformed},
        {"light/action/lightRgb1/play", R"({"repeat": -1, "pattern": []})",
         failed("repeat: must be unsigned int")},
        {"light/action/lightRgb1/play", R"({"repeat": 2.5, "pattern": []})",
         failed("repeat: must be unsigned int")},
        {"light/action/lightRgb1/play", R"({"pattern": null})",
         failed("pattern: must be an array")},
        {"light/action/lightRgb1/play", R"({"pattern": [7]})", failed("step: must be an object")},
        {"light/action/lightRgb1/play", R"({"pattern": [{}]})",
         failed("duration: must be unsigned int")},
        {"light/action/lightRgb1/play", R"({"pattern": [{"duration": 5}]})",
         failed("color: must be an object")},
        {"light/action/lightRgb1/play",
         R"({"pattern": [{"duration": 5, "color": {"r": 1, "g": 2}}]})",
         failed("r/g/b: must be unsigned int")},
        {"light/action/lightP1/play",
         R"({"pattern": [{"duration": 5, "color": {"r": 1, "g": 2, "b": 3}}]})",
         failed("brightness: must be unsigned int")},
        {"light/action/multiplay", "{", NotJson},
        {"light/action/multiplay", "5", Malformed},
        {"light/action/multiplay", R"({"lightRgb1": {"pattern": []}, "lightX": {"pattern": []}})",
         Malformed},
        {"light/action/multiplay", R"({"lightP1": [1]})", Malformed},
        {"light/action/multiplay",
         R"({"lightP1": {"pattern": []}, "lightRgb1": {"pattern": [{}]}})",
         failed("duration: must be unsigned int")},
        {"light/action/lightRgb1/transition", "r=1", NotJson},
        {"light/action/lightRgb1/transition", "7", Malformed},
        {"light/action/lightRgb1/transition", R"({"r": 10, "g": 20})",
         failed("r/g/b: must be unsigned int")},
        {"light/action/lightP1/transition", "", NotJson},
        {"light/action/lightP1/transition", R"({"value": 128})", Malformed},
        {"light/action/lightP1/transition", "-1", Malformed},
        {"light/action/lightP1/transition", "256", Malformed},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.payload);
        EXPECT_EQ(request(c.name, c.payload), c.reply);
    }
    EXPECT_TRUE(machine.sim.requests().empty());
}

TEST_F(LightsTest, UnknownLightIsNamedInAWarning) {
    testsupport::LogCapture log(Log::Level::Warning);
    EXPECT_EQ(request("light/action/multiplay", R"({"lightRgb9": {"pattern": []}})"), Malformed);
    EXPECT_EQ(request("light/action/multiplay", R"({"lightRgb2": true})"), Malformed);
    EXPECT_EQ(log.count("[MqttAdaptor] Key 'lightRgb9' is not a known light"), 1u);
    EXPECT_EQ(log.count("[MqttAdaptor] Value of 'lightRgb2' is not an object"), 1u);
}

// Step bytes on the bus: b, g, r, transition, then the duration little-endian.
TEST_F(LightsTest, PlaySendsOnePatternWithItsSteps) {
    EXPECT_EQ(request("light/action/lightRgb1/play",
                      R"({"pattern": [{"duration": 500, "color": {"r": 255, "g": 0, "b": 0}},
                                      {"duration": 500, "color": {"r": 0, "g": 0, "b": 255},
                                       "transition": true}]})"),
              Completed);
    EXPECT_EQ(request("light/action/lightP1/play",
                      R"({"repeat": 3, "pattern": [{"duration": 100, "brightness": 80,
                                                     "transition": "yes"}]})"),
              Completed);

    auto const played = lightRequests(Misc);
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[0].slot, LightRgb1);
    EXPECT_EQ(played[0].payload,
              (boardsim::Bytes{2, 1, 0, 0, 255, 0, 0xF4, 1, 0, 0, 255, 0, 0, 1, 0xF4, 1, 0, 0}));
    EXPECT_EQ(played[1].slot, LightP1);
    EXPECT_EQ(played[1].payload, (boardsim::Bytes{1, 3, 80, 0, 0, 0, 100, 0, 0, 0}));
}

TEST_F(LightsTest, MultiplayPlaysEveryLightInSlotOrder) {
    EXPECT_EQ(request("light/action/multiplay",
                      R"({"lightRgb1": {"pattern": [{"duration": 1,
                                                      "color": {"r": 1, "g": 2, "b": 3}}]},
                          "lightP1": {"repeat": 0, "pattern": []}})"),
              Completed);
    auto const played = lightRequests(Misc);
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[0].slot, LightP1);
    EXPECT_EQ(played[0].payload, (boardsim::Bytes{0, 0}));
    EXPECT_EQ(played[1].slot, LightRgb1);
    EXPECT_EQ(played[1].payload, (boardsim::Bytes{1, 1, 3, 2, 1, 0, 1, 0, 0, 0}));

    // Nothing to play completes.
    machine.sim.clearRequests();
    EXPECT_EQ(request("light/action/multiplay", "{}"), Completed);
    EXPECT_TRUE(machine.sim.requests().empty());
}

TEST_F(LightsTest, TransitionsAnswerWhatTheBoardEchoed) {
    // The board echoes other values than those sent: the reply carries the echo.
    machine.sim.addRule({boardsim::Filter{Light, ConfigSet, LightRgb1},
                         boardsim::Action::echoOverride({30, 20, 10, 0})});
    machine.sim.addRule({boardsim::Filter{Light, ConfigSet, LightP1},
                         boardsim::Action::echoOverride({77, 0, 0, 0})});
    EXPECT_EQ(request("light/action/lightRgb1/transition", R"({"r": 1, "g": 2, "b": 3})"),
              (json{{"completed", true}, {"data", {{"b", 30}, {"g", 20}, {"r", 10}}}}));
    EXPECT_EQ(request("light/action/lightP1/transition", "128"),
              (json{{"completed", true}, {"data", 77}}));
    EXPECT_EQ(lightRequests(ConfigSet).size(), 2u);
}

TEST_F(LightsTest, BoardRefusalsAnswerWithTheirCode) {
    machine.sim.addRule({boardsim::Filter{Light}, boardsim::Action::errorReply(0x86)});
    json const refused = failed(ErrorCode::BusInvalidValue, "BusInvalidValue");
    EXPECT_EQ(request("light/action/lightRgb1/play", R"({"pattern": []})"), refused);
    EXPECT_EQ(request("light/action/lightP1/transition", "1"), refused);
    EXPECT_EQ(request("light/action/lightRgb1/transition", R"({"r": 1, "g": 2, "b": 3})"), refused);
    // Every light is tried; the last failure answers.
    EXPECT_EQ(request("light/action/multiplay",
                      R"({"lightP1": {"pattern": []}, "lightRgb1": {"pattern": []}})"),
              refused);
    EXPECT_EQ(lightRequests(Misc).size(), 3u);
}

TEST_F(LightsTest, OnlyBoardsWithAColourSlotHaveLightCalls) {
    // The power supply's configuration slots get no light calls: nobody answers.
    ASSERT_TRUE(
        recorder->publish(below("light/action/fanMode/play/request/1"), "{\"pattern\":[]}"));
    EXPECT_TRUE(recorder->quiet(below("light/action/fanMode/play/response/1"), 300));
    EXPECT_EQ(request("light/action/lightP1/play", "{\"pattern\":[]}"), Completed);
}

} // namespace
} // namespace devicetest
