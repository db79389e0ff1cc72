#pragma once

#include <cstdint>

namespace velt::ZRV480::Bus {

// The main board's statistics of the bus, as it reports them.
struct BusReport {
    uint8_t total{};
    uint8_t connected{};
    uint16_t rx{}; // received traffic
    uint16_t tx{}; // transmitted traffic
    uint8_t quality{};
};

} // namespace velt::ZRV480::Bus
