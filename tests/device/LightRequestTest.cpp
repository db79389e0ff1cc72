#include "device/LightRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velt::ZRV480::BoardManager::Manager;
using velt::ZRV480::Bus::Common::ErrorCode;
using velt::ZRV480::Bus::Light::PatternStep;

// What a refused request answers: the code when `text` is empty, else the text.
struct Refused {
    ErrorCode code;
    std::string text;
};

void expectRefused(LightRequest::Refusal const& refusal, Refused const& expected) {
    EXPECT_EQ(refusal.code, expected.code);
    EXPECT_EQ(refusal.text, expected.text);
}

std::string const Repeat = "repeat: must be unsigned int";
std::string const Pattern = "pattern: must be an array";
std::string const Step = "step: must be an object";
std::string const Duration = "duration: must be unsigned int";
std::string const Color = "color: must be an object";
std::string const Channels = "r/g/b: must be unsigned int";
std::string const Brightness = "brightness: must be unsigned int";

struct RefusalCase {
    char const* payload;
    bool color;
    Refused expected;
};

TEST(LightRequestPlay, RefusesInCheckOrder) {
    auto const malformed = ErrorCode::MalformedRequest;
    std::vector<RefusalCase> const cases{
        {R"({"pattern": [)", true, {ErrorCode::MalformedJson, ""}},
        {"", false, {ErrorCode::MalformedJson, ""}},
        {R"([{"duration": 1}])", true, {malformed, ""}},
        {"5", false, {malformed, ""}},
        {"null", true, {malformed, ""}},
        // "repeat" is checked before "pattern".
        {R"({"repeat": -1})", true, {malformed, Repeat}},
        {R"({"repeat": 2.5, "pattern": []})", true, {malformed, Repeat}},
        {R"({"repeat": "2", "pattern": []})", true, {malformed, Repeat}},
        {R"({"repeat": 1e1, "pattern": []})", true, {malformed, Repeat}},
        {R"({"repeat": 256, "pattern": []})", true, {malformed, Repeat}},
        {R"({"repeat": null, "pattern": []})", true, {malformed, Repeat}},
        {R"({})", true, {malformed, Pattern}},
        {R"({"pattern": null})", true, {malformed, Pattern}},
        {R"({"pattern": {"duration": 1}})", false, {malformed, Pattern}},
        {R"({"pattern": [5]})", false, {malformed, Step}},
        {R"({"pattern": [[]]})", true, {malformed, Step}},
        // "duration" comes before the colour, even when both are missing.
        {R"({"pattern": [{}]})", true, {malformed, Duration}},
        {R"({"pattern": [{"duration": -5, "brightness": 1}]})", false, {malformed, Duration}},
        {R"({"pattern": [{"duration": 1.5, "brightness": 1}]})", false, {malformed, Duration}},
        {R"({"pattern": [{"duration": 4294967296, "brightness": 1}]})",
         false,
         {malformed, Duration}},
        {R"({"pattern": [{"duration": 1}]})", true, {malformed, Color}},
        {R"({"pattern": [{"duration": 1, "color": [1, 2, 3]}]})", true, {malformed, Color}},
        {R"({"pattern": [{"duration": 1, "brightness": 5}]})", true, {malformed, Color}},
        {R"({"pattern": [{"duration": 1, "color": {"r": 1, "g": 2}}]})",
         true,
         {malformed, Channels}},
        {R"({"pattern": [{"duration": 1, "color": {"r": 1, "g": 2, "b": -3}}]})",
         true,
         {malformed, Channels}},
        {R"({"pattern": [{"duration": 1, "color": {"r": 256, "g": 2, "b": 3}}]})",
         true,
         {malformed, Channels}},
        {R"({"pattern": [{"duration": 1, "color": {"r": 1, "g": "2", "b": 3}}]})",
         true,
         {malformed, Channels}},
        // A brightness light does not take a colour.
        {R"({"pattern": [{"duration": 1, "color": {"r": 1, "g": 2, "b": 3}}]})",
         false,
         {malformed, Brightness}},
        {R"({"pattern": [{"duration": 1, "brightness": 300}]})", false, {malformed, Brightness}},
        {R"({"pattern": [{"duration": 1, "brightness": true}]})", false, {malformed, Brightness}},
        // The first failing step ends the request, good steps before it or not.
        {R"({"pattern": [{"duration": 1, "brightness": 1}, {"brightness": 1}]})",
         false,
         {malformed, Duration}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        auto const parsed = LightRequest::play(c.payload, c.color);
        ASSERT_TRUE(std::holds_alternative<LightRequest::Refusal>(parsed));
        auto const& refusal = std::get<LightRequest::Refusal>(parsed);
        expectRefused(refusal, c.expected);
        EXPECT_EQ(refusal.warning, "");
    }
}

void expectSteps(std::vector<PatternStep> const& actual, std::vector<PatternStep> const& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i].r, expected[i].r);
        EXPECT_EQ(actual[i].g, expected[i].g);
        EXPECT_EQ(actual[i].b, expected[i].b);
        EXPECT_EQ(actual[i].duration, expected[i].duration);
        EXPECT_EQ(actual[i].transition, expected[i].transition);
    }
}

struct PlayCase {
    char const* payload;
    bool color;
    std::vector<PatternStep> steps;
    uint8_t repeat;
};

TEST(LightRequestPlay, BuildsSteps) {
    std::vector<PlayCase> const cases{
        {R"({"pattern": [{"duration": 500, "color": {"r": 255, "g": 0, "b": 0}},
                         {"duration": 500, "color": {"r": 0, "g": 0, "b": 255}, "transition": true}]})",
         true,
         {{255, 0, 0, 500, false}, {0, 0, 255, 500, true}},
         1},
        // The brightness travels in the blue channel.
        {R"({"repeat": 3, "pattern": [{"duration": 100, "brightness": 80}]})",
         false,
         {{0, 0, 80, 100, false}},
         3},
        // A "transition" that is not a boolean counts as absent; unknown members are ignored.
        {R"({"pattern": [{"duration": 1, "brightness": 2, "transition": "yes"},
                         {"duration": 3, "brightness": 4, "transition": 1, "extra": null}]})",
         false,
         {{0, 0, 2, 1, false}, {0, 0, 4, 3, false}},
         1},
        {R"({"repeat": 0, "pattern": []})", true, {}, 0},
        {R"({"repeat": 255, "pattern": [{"duration": 4294967295, "color": {"r": 1, "g": 2, "b": 3}}]})",
         true,
         {{1, 2, 3, 4294967295u, false}},
         255},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        auto const parsed = LightRequest::play(c.payload, c.color);
        ASSERT_TRUE(std::holds_alternative<LightRequest::Pattern>(parsed));
        auto const& pattern = std::get<LightRequest::Pattern>(parsed);
        expectSteps(pattern.first, c.steps);
        EXPECT_EQ(pattern.second, c.repeat);
    }
}

TEST(LightRequestMultiPlay, MapsKnownLightsToTheirSlots) {
    auto const parsed = LightRequest::multiPlay(
        R"({"lightRgb8": {"pattern": [{"duration": 7, "color": {"r": 1, "g": 2, "b": 3}}]},
            "lightP1": {"repeat": 2, "pattern": [{"duration": 5, "brightness": 9}]},
            "lightP4": {"pattern": []}})");
    ASSERT_TRUE(std::holds_alternative<LightRequest::Patterns>(parsed));
    auto const& patterns = std::get<LightRequest::Patterns>(parsed);
    ASSERT_EQ(patterns.size(), 3u);
    expectSteps(patterns.at(10).first, {{0, 0, 9, 5, false}});
    EXPECT_EQ(patterns.at(10).second, 2);
    expectSteps(patterns.at(13).first, {});
    expectSteps(patterns.at(27).first, {{1, 2, 3, 7, false}});
    EXPECT_EQ(patterns.at(27).second, 1);

    auto const empty = LightRequest::multiPlay("{}");
    ASSERT_TRUE(std::holds_alternative<LightRequest::Patterns>(empty));
    EXPECT_TRUE(std::get<LightRequest::Patterns>(empty).empty());
}

TEST(LightRequestMultiPlay, KnownLightsTable) {
    auto const& lights = LightRequest::knownLights();
    ASSERT_EQ(lights.size(), 12u);
    for (int i = 1; i <= 4; ++i) {
        auto const& light = lights.at("lightP" + std::to_string(i));
        EXPECT_EQ(light.slot, 9 + i);
        EXPECT_FALSE(light.color);
    }
    for (int i = 1; i <= 8; ++i) {
        auto const& light = lights.at("lightRgb" + std::to_string(i));
        EXPECT_EQ(light.slot, 19 + i);
        EXPECT_TRUE(light.color);
    }
}

struct MultiRefusalCase {
    char const* payload;
    Refused expected;
    char const* warning;
};

TEST(LightRequestMultiPlay, OneBadLightRefusesTheWholeRequest) {
    auto const malformed = ErrorCode::MalformedRequest;
    std::vector<MultiRefusalCase> const cases{
        {"{", {ErrorCode::MalformedJson, ""}, ""},
        {"[]", {malformed, ""}, ""},
        {R"({"lightRgb1": {"pattern": []}, "lightX": {"pattern": []}})",
         {malformed, ""},
         "Key 'lightX' is not a known light"},
        // Names are compared exactly.
        {R"({"lightp1": {"pattern": []}})", {malformed, ""}, "Key 'lightp1' is not a known light"},
        {R"({"lightP2": [1]})", {malformed, ""}, "Value of 'lightP2' is not an object"},
        // Members are checked in key order: "lightP3" before "lightRgb1".
        {R"({"lightRgb1": 5, "lightP3": {"pattern": [{"duration": 1, "color": {"r": 1, "g": 1, "b": 1}}]}})",
         {malformed, Brightness},
         ""},
        {R"({"lightRgb2": {"pattern": [{"duration": 1, "brightness": 4}]}})",
         {malformed, Color},
         ""},
        {R"({"lightP1": {"repeat": -2, "pattern": []}})", {malformed, Repeat}, ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        auto const parsed = LightRequest::multiPlay(c.payload);
        ASSERT_TRUE(std::holds_alternative<LightRequest::Refusal>(parsed));
        auto const& refusal = std::get<LightRequest::Refusal>(parsed);
        expectRefused(refusal, c.expected);
        EXPECT_EQ(refusal.warning, c.warning);
    }
}

TEST(LightRequestTransition, Color) {
    auto const parsed = LightRequest::transitionColor(R"({"b": 3, "g": 2, "r": 1, "x": -1})");
    ASSERT_TRUE(std::holds_alternative<velt::ZRV480::Bus::ValueObjects::Color>(parsed));
    auto const& color = std::get<velt::ZRV480::Bus::ValueObjects::Color>(parsed);
    EXPECT_EQ(color.r, 1);
    EXPECT_EQ(color.g, 2);
    EXPECT_EQ(color.b, 3);

    std::vector<std::pair<char const*, Refused>> const refusals{
        {"{\"r\"", {ErrorCode::MalformedJson, ""}},
        {"128", {ErrorCode::MalformedRequest, ""}},
        {R"({"r": 10, "g": 20})", {ErrorCode::MalformedRequest, Channels}},
        {R"({"r": 10, "g": 20, "b": 2.0})", {ErrorCode::MalformedRequest, Channels}},
        {R"({"r": 10, "g": 20, "b": 256})", {ErrorCode::MalformedRequest, Channels}},
    };
    for (auto const& [payload, expected] : refusals) {
        SCOPED_TRACE(payload);
        auto const refused = LightRequest::transitionColor(payload);
        ASSERT_TRUE(std::holds_alternative<LightRequest::Refusal>(refused));
        expectRefused(std::get<LightRequest::Refusal>(refused), expected);
    }
}

TEST(LightRequestTransition, Value) {
    for (auto const& [payload, value] :
         std::vector<std::pair<char const*, uint8_t>>{{"128", 128}, {"0", 0}, {" 255 ", 255}}) {
        SCOPED_TRACE(payload);
        auto const parsed = LightRequest::transitionValue(payload);
        ASSERT_TRUE(std::holds_alternative<uint8_t>(parsed));
        EXPECT_EQ(std::get<uint8_t>(parsed), value);
    }
    // A value of the wrong kind is answered by the code, never by a text.
    std::vector<std::pair<char const*, ErrorCode>> const refusals{
        {"12a", ErrorCode::MalformedJson},
        {"", ErrorCode::MalformedJson},
        {R"({"value": 128})", ErrorCode::MalformedRequest},
        {"-1", ErrorCode::MalformedRequest},
        {"1.0", ErrorCode::MalformedRequest},
        {"\"128\"", ErrorCode::MalformedRequest},
        {"256", ErrorCode::MalformedRequest},
    };
    for (auto const& [payload, code] : refusals) {
        SCOPED_TRACE(payload);
        auto const refused = LightRequest::transitionValue(payload);
        ASSERT_TRUE(std::holds_alternative<LightRequest::Refusal>(refused));
        expectRefused(std::get<LightRequest::Refusal>(refused), {code, ""});
    }
}

} // namespace
