#pragma once

#include "bus/ErrorCode.h"

#include <cstdint>
#include <string>

namespace velt::ZRV480::Bus::Common {

// Stateless helpers shared by the bus library's classes.
class Helpers {
public:
    // Result of a firmware upload reply; values without an entry are malformed.
    static ErrorCode otaResult2ec(int16_t result);
    // Result of a main-board file reply; values without an entry are malformed.
    static ErrorCode fileResult2ec(int16_t result);
    // Error byte of a bus error reply; bytes without an entry of their own are
    // general bus errors.
    static ErrorCode busError2ec(uint8_t errorByte);

    // Every byte as two lower-case hex digits, each followed by a space when
    // spaced (the last one too).
    template <typename T> static std::string hexStr(const T& data, bool spaced);
};

template <typename T> std::string Helpers::hexStr(const T& data, bool spaced) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * (spaced ? 3 : 2));
    for (uint8_t byte : data) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
        if (spaced) {
            text += ' ';
        }
    }
    return text;
}

} // namespace velt::ZRV480::Bus::Common
