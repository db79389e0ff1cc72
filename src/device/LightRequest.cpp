#include "device/LightRequest.h"

#include "device/RequestPayload.h"
#include "foundation/String.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace velt::ZRV480::BoardManager::Manager::LightRequest {

using Bus::Common::ErrorCode;
using Bus::Light::PatternStep;
using Bus::ValueObjects::Color;
using nlohmann::json;

namespace {

// Channels, brightness and repeat count are 8-bit on the bus and a duration is
// 32-bit: a larger number is refused rather than cut to its low bits.
constexpr uint64_t ByteMax = std::numeric_limits<uint8_t>::max();
constexpr uint64_t DurationMax = std::numeric_limits<uint32_t>::max();

char const* const RepeatText = "repeat: must be unsigned int";
char const* const PatternText = "pattern: must be an array";
char const* const StepText = "step: must be an object";
char const* const DurationText = "duration: must be unsigned int";
char const* const ColorText = "color: must be an object";
char const* const ChannelsText = "r/g/b: must be unsigned int";
char const* const BrightnessText = "brightness: must be unsigned int";

Refusal refuseWith(char const* text) {
    return Refusal{ErrorCode::MalformedRequest, text, {}};
}

// "r", "g" and "b" of an object, each present and a byte.
Parsed<Color> channels(json const& object) {
    for (auto const* key : {"r", "g", "b"}) {
        auto const member = object.find(key);
        if (member == object.end() || !RequestPayload::isUnsigned(*member, ByteMax)) {
            return refuseWith(ChannelsText);
        }
    }
    return Color{object["r"].get<uint8_t>(), object["g"].get<uint8_t>(),
                 object["b"].get<uint8_t>()};
}

Parsed<PatternStep> step(json const& element, bool color) {
    if (!element.is_object()) {
        return refuseWith(StepText);
    }
    PatternStep result;
    auto const duration = element.find("duration");
    if (duration == element.end() || !RequestPayload::isUnsigned(*duration, DurationMax)) {
        return refuseWith(DurationText);
    }
    result.duration = duration->get<uint32_t>();
    if (color) {
        auto const value = element.find("color");
        if (value == element.end() || !value->is_object()) {
            return refuseWith(ColorText);
        }
        auto const parsed = channels(*value);
        if (auto const* refusal = std::get_if<Refusal>(&parsed)) {
            return *refusal;
        }
        auto const& rgb = std::get<Color>(parsed);
        result.r = rgb.r;
        result.g = rgb.g;
        result.b = rgb.b;
    } else {
        // A single-channel light takes its brightness in the blue channel.
        auto const brightness = element.find("brightness");
        if (brightness == element.end() || !RequestPayload::isUnsigned(*brightness, ByteMax)) {
            return refuseWith(BrightnessText);
        }
        result.b = brightness->get<uint8_t>();
    }
    auto const transition = element.find("transition");
    result.transition =
        transition != element.end() && transition->is_boolean() && transition->get<bool>();
    return result;
}

// Play's checks on a payload already known to be an object.
Parsed<Pattern> pattern(json const& object, bool color) {
    Pattern result{{}, 1};
    auto const repeat = object.find("repeat");
    if (repeat != object.end()) {
        if (!RequestPayload::isUnsigned(*repeat, ByteMax)) {
            return refuseWith(RepeatText);
        }
        result.second = repeat->get<uint8_t>();
    }
    auto const steps = object.find("pattern");
    if (steps == object.end() || !steps->is_array()) {
        return refuseWith(PatternText);
    }
    for (auto const& element : *steps) {
        auto parsed = step(element, color);
        if (auto* refusal = std::get_if<Refusal>(&parsed)) {
            return std::move(*refusal);
        }
        result.first.push_back(std::get<PatternStep>(parsed));
    }
    return result;
}

// The payload as an object, or the refusal by its code.
std::variant<json, Refusal> payloadObject(std::string const& payload) {
    auto document = RequestPayload::object(payload);
    if (auto const* code = std::get_if<ErrorCode>(&document)) {
        return Refusal{*code, {}, {}};
    }
    return std::move(std::get<json>(document));
}

} // namespace

std::map<std::string, KnownLight> const& knownLights() {
    static std::map<std::string, KnownLight> const lights{
        {"lightP1", {10, false}},  {"lightP2", {11, false}},  {"lightP3", {12, false}},
        {"lightP4", {13, false}},  {"lightRgb1", {20, true}}, {"lightRgb2", {21, true}},
        {"lightRgb3", {22, true}}, {"lightRgb4", {23, true}}, {"lightRgb5", {24, true}},
        {"lightRgb6", {25, true}}, {"lightRgb7", {26, true}}, {"lightRgb8", {27, true}},
    };
    return lights;
}

Parsed<Pattern> play(std::string const& payload, bool color) {
    auto const object = payloadObject(payload);
    if (auto const* refusal = std::get_if<Refusal>(&object)) {
        return *refusal;
    }
    return pattern(std::get<json>(object), color);
}

Parsed<Patterns> multiPlay(std::string const& payload) {
    auto const object = payloadObject(payload);
    if (auto const* refusal = std::get_if<Refusal>(&object)) {
        return *refusal;
    }
    Patterns result;
    for (auto const& [name, value] : std::get<json>(object).items()) {
        auto const light = knownLights().find(name);
        if (light == knownLights().end()) {
            return Refusal{ErrorCode::MalformedRequest,
                           {},
                           String::format("Key '%s' is not a known light", name.c_str())};
        }
        if (!value.is_object()) {
            return Refusal{ErrorCode::MalformedRequest,
                           {},
                           String::format("Value of '%s' is not an object", name.c_str())};
        }
        auto parsed = pattern(value, light->second.color);
        if (auto* refusal = std::get_if<Refusal>(&parsed)) {
            return std::move(*refusal);
        }
        result[light->second.slot] = std::move(std::get<Pattern>(parsed));
    }
    return result;
}

Parsed<Color> transitionColor(std::string const& payload) {
    auto const object = payloadObject(payload);
    if (auto const* refusal = std::get_if<Refusal>(&object)) {
        return *refusal;
    }
    return channels(std::get<json>(object));
}

Parsed<uint8_t> transitionValue(std::string const& payload) {
    auto const value = json::parse(payload, nullptr, false);
    if (value.is_discarded()) {
        return Refusal{ErrorCode::MalformedJson, {}, {}};
    }
    if (!RequestPayload::isUnsigned(value, ByteMax)) {
        return Refusal{ErrorCode::MalformedRequest, {}, {}};
    }
    return value.get<uint8_t>();
}

} // namespace velt::ZRV480::BoardManager::Manager::LightRequest
