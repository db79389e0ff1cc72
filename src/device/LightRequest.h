#pragma once

#include "bus/Color.h"
#include "bus/ErrorCode.h"
#include "bus/PatternStep.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager::LightRequest {

// Why a light call was refused. A member of the wrong shape is answered with
// `text` as the error; otherwise `code` is the answer (MalformedJson,
// MalformedRequest). `warning`, when set, is logged as it stands.
struct Refusal {
    Bus::Common::ErrorCode code = Bus::Common::ErrorCode::MalformedRequest;
    std::string text;
    std::string warning;
};

template <typename T> using Parsed = std::variant<T, Refusal>;

// A pattern's steps and how many times it is played.
using Pattern = std::pair<std::vector<Bus::Light::PatternStep>, uint8_t>;
// Patterns of several lights of one board, by configuration slot.
using Patterns = std::map<uint8_t, Pattern>;

// A light of the multiplay call: its configuration slot and whether it is a
// colour light (else it takes a brightness).
struct KnownLight {
    uint8_t slot;
    bool color;
};

// The fixed lights that the multiplay call names, whatever the schema says.
std::map<std::string, KnownLight> const& knownLights();

// {"repeat": n, "pattern": [{"duration", "color" or "brightness", "transition"}, ...]}
// for one light; `color` picks between a colour and a brightness per step.
Parsed<Pattern> play(std::string const& payload, bool color);

// An object with one play payload per known light, named after the light.
Parsed<Patterns> multiPlay(std::string const& payload);

// {"r", "g", "b"}: the colour a colour light fades to.
Parsed<Bus::ValueObjects::Color> transitionColor(std::string const& payload);

// A bare number: the brightness a single-channel light fades to.
Parsed<uint8_t> transitionValue(std::string const& payload);

} // namespace velt::ZRV480::BoardManager::Manager::LightRequest
