#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

nlohmann::json Engine::getDeviceConfig() const {
    // TODO(engine-life)
    return nullptr;
}

void Engine::setDeviceConfig(nlohmann::json const&) {
    // TODO(engine-life)
}

nlohmann::json Engine::getBoardsConfig() const {
    // TODO(engine-life)
    return nullptr;
}

void Engine::setBoardsConfig(nlohmann::json const&) {
    // TODO(engine-life)
}

} // namespace velt::ZRV480::BoardManager::Manager
