#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "config/SettingLimit.h"
#include "foundation/Logger.h"

namespace velt::ZRV480::BoardManager::Config {

// The one declaration of the settings of the "device" and "mqtt" sections
// and of the values that the service can run with. A document is held
// against it before any owner applies it: a write is refused whole, a file
// read at start has each unusable value replaced by its default.
class SettingLimits {
public:
    // In the order of the README's table.
    static std::vector<SettingLimit> const& all();

    // Throws std::invalid_argument for a document that is no object, or
    // naming every setting of the document that
    // is out of range or of the wrong type, with what it takes, and every
    // section ("boards" and each board's document among them) that is no
    // object, and member the transport does not know. A secret's value is
    // never repeated, only its kind and size.
    static void check(nlohmann::json const& document);
    // The document with each such setting at its default, such a section or
    // member left out; logs an error line through the logger for each. A
    // board's document may be null here: the service writes that for a
    // board it holds no values for.
    static nlohmann::json withDefaults(nlohmann::json const& document, Logger const& logger);
};

} // namespace velt::ZRV480::BoardManager::Config
