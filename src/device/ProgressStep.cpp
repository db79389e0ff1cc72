#include "device/ProgressStep.h"

#include <algorithm>

namespace velt::ZRV480::BoardManager::Manager {

std::optional<uint8_t> ProgressStep::reach(float percent) {
    if (!reaches(percent)) {
        return std::nullopt;
    }
    auto const published = step;
    advance();
    return published;
}

bool ProgressStep::reaches(float percent) const {
    // Written so that a report that is not a number counts as below the step.
    return percent >= step;
}

void ProgressStep::advance() {
    reached = step;
    step = std::min<uint8_t>(step + Increment, Last);
}

void ProgressStep::end(bool completed) {
    step = completed ? Last : reached;
}

} // namespace velt::ZRV480::BoardManager::Manager
