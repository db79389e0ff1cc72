#include "bus/BootloaderStatus.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

Status::Status() : errorMask(0xFFFF) {}

Status::Status(std::vector<Flag> const& flags, uint16_t mask, std::bitset<16> const& bits)
    : word(bits), table(flags), errorMask(mask) {}

Status::~Status() = default;

std::map<uint8_t, bool> Status::parseFromBitset() const {
    return NamedBits::fromWord(table, word);
}

std::map<uint8_t, bool> Status::render() const {
    return parseFromBitset();
}

std::bitset<16> Status::toBitset() const {
    return NamedBits::toWord(table, parseFromBitset());
}

nlohmann::json Status::toJson() const {
    const std::map<uint8_t, bool> values = parseFromBitset();
    nlohmann::json result = nlohmann::json::object();
    for (Flag const& flag : table) {
        result[flag.name] = values.at(flag.bit);
    }
    result["noAction"] = word.none();
    result["error"] = word.to_ulong() == errorMask;
    return result;
}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
