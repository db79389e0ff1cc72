#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "config/Config.h"
#include "config/Configurable.h"
#include "engine/Engine.h"
#include "foundation/Logger.h"

namespace velt::ZRV480::BoardManager::Manager {

// Owns the "device" and "boards" sections: carries them to and from the
// engine, and has the file rewritten once the engine has brought the boards
// up and whenever a board's stored value changes.
class ConfigAdaptor : public BoardManager::Config::Configurable, public Logger {
public:
    ConfigAdaptor(std::shared_ptr<BoardManager::Config::Config> config,
                  std::shared_ptr<Engine> engine);

    // A refused "device" section does not keep "boards" from being applied;
    // the refusal is thrown afterwards.
    void onConfigSet(nlohmann::json const& document) override;
    nlohmann::json onConfigGet() const override;
    // The slot of the engine's start-up-complete and stored-value signals.
    void onBoardConfigChanged();

private:
    std::shared_ptr<BoardManager::Config::Config> config;
    std::shared_ptr<Engine> engine;
};

} // namespace velt::ZRV480::BoardManager::Manager
