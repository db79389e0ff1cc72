#pragma once

#include "device/ProgressStep.h"
#include "foundation/CheckedMutex.h"

#include <cstdint>
#include <optional>
#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// One direction of main-board file transfers: the request whose finished
// notice is still due and the progress steps published meanwhile. The bus
// runs one transfer at a time, so a second request of the same direction is
// refused while one is pending instead of taking over its notice.
// Thread-safe: requests come from the MQTT receive thread, progress and
// finished reports from the transfer's worker.
class PendingTransfer {
public:
    // Makes the request pending and starts the steps at 0; false, changing
    // nothing, while another request is pending.
    bool claim(std::string const& requestId);
    // Forgets a request that was refused after its claim, if still pending.
    void release(std::string const& requestId);
    // The step to publish for a progress report, if it reaches one.
    std::optional<uint8_t> progress(float percent);
    // The transfer ended: steps back to 0, and the pending request's id, now
    // no longer pending, if there was one.
    std::optional<std::string> finish();

private:
    CheckedMutex mutex;
    std::optional<std::string> requestId GUARDED_BY(mutex);
    ProgressStep step GUARDED_BY(mutex);
};

} // namespace velt::ZRV480::BoardManager::Manager
