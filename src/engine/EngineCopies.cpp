#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

bool Engine::boardConfigCacheTempFsCreate() {
    return false;
}

ErrorCode Engine::boardConfigCacheFromTempfs(uint8_t) {
    return ErrorCode::FileNotFound;
}

ErrorCode Engine::boardConfigCacheTempFsRemove(uint8_t) {
    return ErrorCode::Success;
}

ErrorCode Engine::boardConfigCacheTempFsStore(uint8_t) {
    return ErrorCode::FileNotFound;
}

} // namespace velt::ZRV480::BoardManager::Manager
