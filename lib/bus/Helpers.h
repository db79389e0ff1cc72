#pragma once

#include "bus/ErrorCode.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

class Variant;

namespace velt::ZRV480::Bus::Common {

// The bus library's version.
std::string getProjectVersion();

// Stateless helpers shared by the bus library's classes.
class Helpers {
public:
    // Whole-file reads. FileNotFound when the file cannot be opened;
    // FileSizeError when its size cannot be taken, it is 4 GiB or larger, or
    // fewer bytes arrive than it holds. On failure out is left as it was.
    static ErrorCode fileToVector(std::string const& path, std::vector<uint8_t>& out);
    static ErrorCode fileToStr(std::string const& path, std::string& out);

    // Limits of the SCHED_FIFO policy.
    static int threadPriorityMaxGet();
    static int threadPriorityMinGet();
    // Puts the calling thread under SCHED_FIFO; 0 or the error number (the
    // thread keeps its policy without the privilege).
    static int threadPrioritySet(int priority);

    // Absolute directory of the running executable; empty when it cannot be
    // resolved.
    static std::string getExecutableDirectory();

    // By the value's tag; a Map becomes one member per flat key, not nested.
    static nlohmann::json variantToJson(Variant const& value);

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
    static char const digits[] = "0123456789abcdef";
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
