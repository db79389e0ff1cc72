#pragma once

#include "FaultRule.h"

#include <cstdint>

namespace boardsim {

// Reflected CRC-32, polynomial 0xEDB88320.
class Crc32 {
public:
    // Feeds `data` into the register `crc` without pre- or post-inversion.
    static uint32_t update(uint32_t crc, Bytes const& data);
    // The common CRC-32 (register 0xFFFFFFFF, result inverted).
    static uint32_t standard(Bytes const& data);
    // The firmware upload checksum: register 0, result inverted.
    static uint32_t upload(Bytes const& data);
};

} // namespace boardsim
