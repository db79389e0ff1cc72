#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::boardOtaFirmwareUpgrade(uint8_t, std::string const&, bool) {
    // TODO(engine-firmware)
    return ErrorCode::InvalidParameter;
}

ErrorCode Engine::firmwareUpgradeApply() {
    // TODO(engine-firmware)
    return ErrorCode::Success;
}

bool Engine::createFirmwareDirectories() {
    // TODO(engine-firmware)
    return false;
}

std::optional<Engine::Firmware> Engine::findFirmwareFile(uint8_t, std::string const&) const {
    // TODO(engine-firmware)
    return std::nullopt;
}

std::optional<Engine::Firmware> Engine::findFirmwareFileGrater(uint8_t, std::string const&) const {
    // TODO(engine-firmware)
    return std::nullopt;
}

ErrorCode Engine::boardOtaFirmwareUpgradeAllowed(uint8_t, FirmwareHeader const&, bool) {
    // TODO(engine-firmware)
    return ErrorCode::InvalidParameter;
}

ErrorCode Engine::boardOtaFirmwareUpgradeAllowedService(FirmwareHeader const&) {
    // TODO(engine-firmware)
    return ErrorCode::InvalidParameter;
}

void Engine::applyFirmwareUpgrades() {
    // TODO(engine-firmware)
}

ErrorCode Engine::boardOtaFirmwareUpgradeAuto(uint8_t) {
    // TODO(engine-firmware)
    return ErrorCode::Success;
}

bool Engine::serviceConsoleFirmwareUpgrade() {
    // TODO(engine-firmware)
    return false;
}

void Engine::readServiceVersion() {
    // TODO(engine-firmware)
}

} // namespace velt::ZRV480::BoardManager::Manager
