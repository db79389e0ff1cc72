#pragma once

#include "FaultRule.h"

#include <cstddef>
#include <cstdint>

namespace boardsim {

// Bus payload numbers are little-endian.
struct LittleEndian {
    static void put16(Bytes& out, uint16_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    static void put32(Bytes& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(uint8_t(v >> (8 * i)));
        }
    }
    // Callers check that the bytes are there.
    static uint16_t get16(Bytes const& in, size_t at) { return uint16_t(in[at] | in[at + 1] << 8); }
    static uint32_t get32(Bytes const& in, size_t at) {
        return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
               uint32_t(in[at + 3]) << 24;
    }
};

} // namespace boardsim
