#pragma once

#include "bus/NamedBits.h"

#include <nlohmann/json.hpp>

#include <bitset>
#include <map>
#include <vector>

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// A board's bootloader status word as read from the bus; every bit is kept,
// named or not. Read-only in use: nothing writes a status to a board.
class Status {
public:
    using Flag = NamedBit;

    // What a board whose status has not been read shows: word 0, no names,
    // error mask 0xFFFF.
    Status();
    Status(std::vector<Flag> const& table, uint16_t errorMask, std::bitset<16> const& word);
    Status(Status const&) = default;
    Status& operator=(Status const&) = default;
    virtual ~Status();

    std::map<uint8_t, bool> parseFromBitset() const;
    std::map<uint8_t, bool> render() const;
    // The word without its unnamed bits.
    std::bitset<16> toBitset() const;
    // Every name of the table, "noAction" (the whole word is 0) and "error"
    // (the whole word equals the error mask, not: any error bit is set).
    nlohmann::json toJson() const;

protected:
    std::bitset<16> word;
    std::vector<Flag> table;
    uint16_t errorMask;
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
