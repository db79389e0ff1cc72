#include "bus/NamedBits.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

NamedBits::Values NamedBits::fromWord(Table const& table, std::bitset<16> const& word) {
    Values values;
    for (NamedBit const& entry : table) {
        values.emplace(entry.bit, word.test(entry.bit));
    }
    return values;
}

std::bitset<16> NamedBits::toWord(Table const& table, Values const& values) {
    std::bitset<16> word;
    for (NamedBit const& entry : table) {
        auto const it = values.find(entry.bit);
        word.set(entry.bit, it != values.end() && it->second);
    }
    return word;
}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
