#include "engine/Status.h"

namespace velt::ZRV480::BoardManager::Manager {

void Status::setIsActive(bool value) {
    changed = changed || value != active;
    active = value;
}

void Status::setFirmwareUpgrade(FirmwareUpgrade state) {
    changed = changed || state != firmwareUpgrade;
    firmwareUpgrade = state;
}

std::string Status::firmwareUpgradeToStr(FirmwareUpgrade state) {
    switch (state) {
    case FirmwareUpgrade::None:
        return "None";
    case FirmwareUpgrade::PendingReboot:
        return "PendingReboot";
    default:
        return "InProgress";
    }
}

nlohmann::json Status::toJson() const {
    return {{"active", active}, {"firmwareUpgrade", firmwareUpgradeToStr(firmwareUpgrade)}};
}

} // namespace velt::ZRV480::BoardManager::Manager
