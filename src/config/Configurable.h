#pragma once

#include <nlohmann/json.hpp>

namespace velt::ZRV480::BoardManager::Config {

// An owner of sections of the configuration document.
class Configurable {
public:
    virtual ~Configurable() = default;

    // Takes the sections it owns from the whole document and ignores the rest.
    virtual void onConfigSet(nlohmann::json const& document) = 0;
    // An object holding the owner's sections under their names, nothing else.
    virtual nlohmann::json onConfigGet() const = 0;
};

} // namespace velt::ZRV480::BoardManager::Config
