#pragma once

#include "device/ProgressStep.h"
#include "foundation/CheckedMutex.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// Firmware upgrades requested over MQTT, per board address: the request whose
// finished notice is still due, and the progress step of every board whose
// upload reported progress. A board's finished report consumes only its own
// request, so uploads of other boards or of the automatic run never take over
// a notice. Thread-safe: requests come from the MQTT receive thread, reports
// from the upload workers and the monitoring thread.
class PendingUpgrades {
public:
    // Makes the request pending for the board and starts its steps at 0;
    // false, changing nothing, while the board has a pending request.
    bool claim(uint8_t address, std::string const& requestId);
    // Forgets a request that was refused after its claim, if still pending.
    void release(uint8_t address, std::string const& requestId);
    // Whether a progress report reaches the board's next step (a board
    // without a step starts at 0). The node published for it shows the step
    // reached; advance raises the step afterwards.
    bool reaches(uint8_t address, float percent);
    void advance(uint8_t address);
    // The board's upload ended: its step, if it has one, shows where (see
    // ProgressStep::end).
    void end(uint8_t address, bool completed);
    // The board's upload ended: the pending request's id, if there was one,
    // now no longer pending.
    std::optional<std::string> finish(uint8_t address);
    // Forgets the board's step once a requested upload's end is published.
    // Steps of uploads that no request started stay.
    void dropStep(uint8_t address);
    // The next step of every board that has one.
    std::map<uint8_t, uint8_t> steps() const;

private:
    mutable CheckedMutex mutex;
    std::map<uint8_t, std::string> requestIds GUARDED_BY(mutex);
    std::map<uint8_t, ProgressStep> progressSteps GUARDED_BY(mutex);
};

} // namespace velt::ZRV480::BoardManager::Manager
