#include "device/ProgressStep.h"

#include <algorithm>

namespace velt::ZRV480::BoardManager::Manager {

std::optional<uint8_t> ProgressStep::reach(float percent) {
    // Written so that a report that is not a number counts as below the step.
    if (!(percent >= step)) {
        return std::nullopt;
    }
    auto const published = step;
    step = std::min<uint8_t>(step + Increment, Last);
    return published;
}

} // namespace velt::ZRV480::BoardManager::Manager
