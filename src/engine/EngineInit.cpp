#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::boardInitStartup(uint8_t) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardInitEmergency(uint8_t) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

void Engine::boardHadReboot(uint8_t) {
    // TODO(engine-life)
}

void Engine::cacheBootloaderStatus(uint8_t) {
    // TODO(engine-life)
}

void Engine::cacheBootloaderFlags(uint8_t) {
    // TODO(engine-life)
}

} // namespace velt::ZRV480::BoardManager::Manager
