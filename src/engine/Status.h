#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// The service-wide state beside the boards: whether the manager is active
// and where firmware upgrades stand. A plain value, handed out as copies.
class Status {
public:
    enum class FirmwareUpgrade : int { None = 0, InProgress = 1, PendingReboot = 2 };

    Status() = default;

    // Each sets the changed flag when the value differs (never clears it).
    void setIsActive(bool active);
    void setFirmwareUpgrade(FirmwareUpgrade state);
    bool getIsActive() const { return active; }
    FirmwareUpgrade getFirmwareUpgrade() const { return firmwareUpgrade; }
    bool hasChanged() const { return changed; }
    void acknowledge() { changed = false; }

    // "None" for 0, "PendingReboot" for 2, "InProgress" for any other value.
    static std::string firmwareUpgradeToStr(FirmwareUpgrade state);
    // {"active": bool, "firmwareUpgrade": text}
    nlohmann::json toJson() const;

private:
    bool changed = false;
    bool active = true;
    FirmwareUpgrade firmwareUpgrade = FirmwareUpgrade::None;
};

} // namespace velt::ZRV480::BoardManager::Manager
