#include "device/PendingUpgrades.h"

#include "foundation/CheckedLock.h"

namespace velt::ZRV480::BoardManager::Manager {

bool PendingUpgrades::claim(uint8_t address, std::string const& requestId) {
    CheckedLock lock(mutex);
    if (!requestIds.emplace(address, requestId).second) {
        return false;
    }
    progressSteps[address].reset();
    return true;
}

void PendingUpgrades::release(uint8_t address, std::string const& requestId) {
    CheckedLock lock(mutex);
    auto const pending = requestIds.find(address);
    if (pending != requestIds.end() && pending->second == requestId) {
        requestIds.erase(pending);
    }
}

bool PendingUpgrades::reaches(uint8_t address, float percent) {
    CheckedLock lock(mutex);
    return progressSteps[address].reaches(percent);
}

void PendingUpgrades::advance(uint8_t address) {
    CheckedLock lock(mutex);
    progressSteps[address].advance();
}

void PendingUpgrades::end(uint8_t address, bool completed) {
    CheckedLock lock(mutex);
    auto const step = progressSteps.find(address);
    if (step != progressSteps.end()) {
        step->second.end(completed);
    }
}

std::optional<std::string> PendingUpgrades::finish(uint8_t address) {
    CheckedLock lock(mutex);
    auto const pending = requestIds.find(address);
    if (pending == requestIds.end()) {
        return std::nullopt;
    }
    auto id = std::move(pending->second);
    requestIds.erase(pending);
    return id;
}

void PendingUpgrades::dropStep(uint8_t address) {
    CheckedLock lock(mutex);
    progressSteps.erase(address);
}

std::map<uint8_t, uint8_t> PendingUpgrades::steps() const {
    CheckedLock lock(mutex);
    std::map<uint8_t, uint8_t> result;
    for (auto const& [address, step] : progressSteps) {
        result.emplace(address, step.next());
    }
    return result;
}

} // namespace velt::ZRV480::BoardManager::Manager
