#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

namespace velt::ZRV480::Bus::ValueObjects {

// A light colour; on the bus the 24-bit number r << 16 | g << 8 | b.
struct Color {
    uint8_t r{};
    uint8_t g{};
    uint8_t b{};

    // {"r", "g", "b"} as unsigned integers.
    nlohmann::json toJson() const;
};

} // namespace velt::ZRV480::Bus::ValueObjects
