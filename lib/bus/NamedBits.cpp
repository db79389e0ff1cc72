#include "bus/NamedBits.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

NamedBits::Values NamedBits::fromWord(const Table& table, const std::bitset<16>& word) {
    Values values;
    for (const NamedBit& entry : table) {
        values.emplace(entry.bit, word.test(entry.bit));
    }
    return values;
}

std::bitset<16> NamedBits::toWord(const Table& table, const Values& values) {
    std::bitset<16> word;
    for (const NamedBit& entry : table) {
        const auto it = values.find(entry.bit);
        word.set(entry.bit, it != values.end() && it->second);
    }
    return word;
}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
