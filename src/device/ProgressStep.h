#pragma once

#include <cstdint>
#include <optional>

namespace velt::ZRV480::BoardManager::Manager {

// Progress is published in steps of 5 percentage points: a report at or above
// the next step publishes that step (not the report) once and raises it by 5,
// up to 100. A jump of the reports is thus caught up one step per report, and
// once at 100 every further report of 100 publishes 100 again.
class ProgressStep {
public:
    // The step to publish for this report, if it reaches the next step; the
    // step is then raised.
    std::optional<uint8_t> reach(float percent);
    // The two halves of reach, for a publication that shows the step reached.
    bool reaches(float percent) const;
    void advance();
    // The transfer ended: a completed one stands at 100, another at the last
    // step published.
    void end(bool completed);
    // The step the next publication waits for.
    uint8_t next() const { return step; }
    void reset() { step = reached = 0; }

private:
    static constexpr uint8_t Increment = 5;
    static constexpr uint8_t Last = 100;

    uint8_t step = 0;
    uint8_t reached = 0;
};

} // namespace velt::ZRV480::BoardManager::Manager
