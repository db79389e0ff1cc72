#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Cyclic redundancy checks over byte vectors, all least significant bit
// first. Each continues a computation from the given value.
class CRC {
public:
    // CRC-32 (ISO-HDLC, as zlib): the register is inverted on entry and exit,
    // so results chain: update(update(0, a), b) == update(0, a + b).
    static uint32_t CRC32_update(uint32_t crc, std::vector<uint8_t> const& bytes);
    // CRC-16/KERMIT when started from 0.
    static uint16_t CRC16_update(uint16_t crc, std::vector<uint8_t> const& bytes);
    // CRC-8/MAXIM-DOW (1-Wire) when started from 0.
    static uint8_t CRC8_update(uint8_t crc, std::vector<uint8_t> const& bytes);

    // Entry i is i run bit by bit through the reflected polynomial 0xEDB88320.
    static const std::array<uint32_t, 256> crc32_table;
};
