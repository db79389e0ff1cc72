#include "device/PendingTransfer.h"

#include "foundation/CheckedLock.h"

namespace velt::ZRV480::BoardManager::Manager {

bool PendingTransfer::claim(std::string const& id) {
    CheckedLock lock(mutex);
    if (requestId) {
        return false;
    }
    requestId = id;
    step.reset();
    return true;
}

void PendingTransfer::release(std::string const& id) {
    CheckedLock lock(mutex);
    if (requestId == id) {
        requestId.reset();
    }
}

std::optional<uint8_t> PendingTransfer::progress(float percent) {
    CheckedLock lock(mutex);
    return step.reach(percent);
}

std::optional<std::string> PendingTransfer::finish() {
    CheckedLock lock(mutex);
    step.reset();
    auto id = std::move(requestId);
    requestId.reset();
    return id;
}

} // namespace velt::ZRV480::BoardManager::Manager
