#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boardsim {

struct Hex {
    // Two lower-case digits per byte, separated by blanks when `spaced`.
    static std::string of(uint8_t const* data, size_t size, bool spaced) {
        static char const digits[] = "0123456789abcdef";
        std::string out;
        for (size_t i = 0; i < size; ++i) {
            if (spaced && i) {
                out += ' ';
            }
            out += digits[data[i] >> 4];
            out += digits[data[i] & 0xF];
        }
        return out;
    }
};

} // namespace boardsim
