#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

void Engine::monitoringFunction() {
    // TODO(engine-life)
}

ErrorCode Engine::cacheBatch(uint8_t, uint64_t, uint64_t) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

void Engine::cacheMainNetwork() {
    // TODO(engine-life)
}

void Engine::cacheMainTimestamp() {
    // TODO(engine-life)
}

void Engine::cacheMainBusStatistics() {
    // TODO(engine-life)
}

} // namespace velt::ZRV480::BoardManager::Manager
