#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

bool Engine::poweredByMains() const {
    // TODO(engine-life)
    return false;
}

ErrorCode Engine::boardReboot(uint8_t) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardRebootSync(uint8_t) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::broadcastReboot() {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::broadcastRestoreDefaults() {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::broadcastHeartbeat() {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

} // namespace velt::ZRV480::BoardManager::Manager
