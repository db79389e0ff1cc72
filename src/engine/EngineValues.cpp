#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::boardTelemetryGet(uint8_t, uint8_t, nlohmann::json&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardConfigGet(uint8_t, uint8_t, nlohmann::json&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardStatusSlot0Get(uint8_t, std::map<uint8_t, bool>&,
                                      std::map<uint8_t, bool>&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardStatusSlotNGet(uint8_t, uint8_t, std::pair<uint64_t, std::string>&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardUptimeGet(uint8_t, uint32_t&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardInfoGet(uint8_t, BoardInfo&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardBootloaderFlagsGet(uint8_t, Flags&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardBootloaderStatusGet(uint8_t, BootloaderStatus&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardConfigSet(uint8_t, uint8_t, nlohmann::json&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::lightTransitionColor(uint8_t, uint8_t, Color&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::lightTransitionValue(uint8_t, uint8_t, uint8_t&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardAction(uint8_t, uint8_t) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardRestoreDefaults(uint8_t) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::lightPatternPlay(uint8_t, uint8_t, std::vector<PatternStep> const&, uint8_t) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::lightPatternMultiPlay(uint8_t, Patterns const&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardBootloaderFlagsSet(uint8_t, Flags&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::boardBootloaderFlagsReset(uint8_t) {
    return ErrorCode::Timeout;
}

} // namespace velt::ZRV480::BoardManager::Manager
