#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

void Engine::cacheTelemetry(uint8_t, uint8_t) {}

void Engine::cacheConfig(uint8_t, uint8_t) {}

} // namespace velt::ZRV480::BoardManager::Manager
