#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// One entry of a bootloader word's name table: the JSON key of a bit.
struct NamedBit {
    std::string name;
    uint8_t bit; // below 16
};

// Walks a name table over a 16-bit word. Several names may share a bit; the
// first entry of a bit decides its value.
class NamedBits {
public:
    using Table = std::vector<NamedBit>;
    using Values = std::map<uint8_t, bool>;

    // Bit number -> value of that bit in the word, for every bit the table names.
    static Values fromWord(Table const& table, std::bitset<16> const& word);
    // The word with exactly the named bits that the values hold as true.
    static std::bitset<16> toWord(Table const& table, Values const& values);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
