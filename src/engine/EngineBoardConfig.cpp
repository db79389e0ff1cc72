#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::boardConfigCacheFromConfigFile(uint8_t) {
    return ErrorCode::Success;
}

ErrorCode Engine::boardConfigCacheApply(uint8_t) {
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::BoardManager::Manager
