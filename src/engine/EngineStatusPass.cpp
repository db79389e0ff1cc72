#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

void Engine::cacheHeartbeat(uint8_t) {}

void Engine::handleBoardStatus(uint8_t) {}

void Engine::cacheSlot0Status(uint8_t) {}

void Engine::cacheSlotNStatus(uint8_t, uint8_t) {}

} // namespace velt::ZRV480::BoardManager::Manager
