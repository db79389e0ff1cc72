#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

Engine::~Engine() {
    // TODO(engine-life)
    if (running) {
        stop();
    }
    waitForWorkers();
}

void Engine::start() {
    // TODO(engine-life)
}

void Engine::stop() {
    // TODO(engine-life)
}

ErrorCode Engine::configure() {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

void Engine::logBoardInfo() const {
    // TODO(engine-life)
}

} // namespace velt::ZRV480::BoardManager::Manager
