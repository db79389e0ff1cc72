#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Helpers of the seeded random-input tests: every loop is bounded by a count
// and by a time budget, and a seed makes each run repeat the last.
namespace bustest {

using Bytes = std::vector<uint8_t>;

// A loop ends at its count or when its time is spent, whichever comes first.
class Budget {
public:
    explicit Budget(std::chrono::milliseconds limit)
        : end(std::chrono::steady_clock::now() + limit) {}
    bool spent() const { return std::chrono::steady_clock::now() >= end; }

private:
    std::chrono::steady_clock::time_point end;
};

inline Bytes randomBytes(std::mt19937& random, size_t size) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

// A number from 0 to bound - 1.
inline size_t below(std::mt19937& random, size_t bound) {
    return std::uniform_int_distribution<size_t>(0, bound - 1)(random);
}

} // namespace bustest
