#pragma once

#include <cstdint>

namespace velt::ZRV480::Bus::Light {

// One step of a light pattern. A light that is not a colour light takes its
// brightness from b, with r and g 0.
struct PatternStep {
    uint8_t r{};
    uint8_t g{};
    uint8_t b{};
    uint32_t duration{};
    bool transition{}; // fade into the step instead of switching
};

} // namespace velt::ZRV480::Bus::Light
