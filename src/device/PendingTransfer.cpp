#include "device/PendingTransfer.h"

namespace velt::ZRV480::BoardManager::Manager {

bool PendingTransfer::claim(std::string const& id) {
    std::lock_guard lock(mutex);
    if (requestId) {
        return false;
    }
    requestId = id;
    step.reset();
    return true;
}

void PendingTransfer::release(std::string const& id) {
    std::lock_guard lock(mutex);
    if (requestId == id) {
        requestId.reset();
    }
}

std::optional<uint8_t> PendingTransfer::progress(float percent) {
    std::lock_guard lock(mutex);
    return step.reach(percent);
}

std::optional<std::string> PendingTransfer::finish() {
    std::lock_guard lock(mutex);
    step.reset();
    auto id = std::move(requestId);
    requestId.reset();
    return id;
}

} // namespace velt::ZRV480::BoardManager::Manager
