#include "bus/Flags.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

namespace {

bool isTrue(nlohmann::json const& object, char const* key) {
    if (!object.is_object()) {
        return false;
    }
    auto const it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

} // namespace

Flags::Flags() : source(SourceWord) {}

Flags::Flags(std::vector<Flag> const& flags, std::bitset<16> const& bits)
    : source(SourceWord), word(bits), table(flags) {}

Flags::Flags(json const& value) : source(SourceJson), jsonValue(value) {}

Flags::Flags(std::vector<Flag> const& flags, json const& value)
    : source(SourceJson), jsonValue(value), table(flags) {}

Flags::Flags(Flags const& other, std::vector<Flag> const& flags)
    : source(other.source), jsonValue(other.jsonValue), word(other.word), table(flags) {}

Flags::~Flags() = default;

std::map<uint8_t, bool> Flags::parseFromBitset() const {
    return NamedBits::fromWord(table, word);
}

std::map<uint8_t, bool> Flags::parseFromJson() const {
    bool const checkAll = isTrue(jsonValue, "checkAll");
    bool const noChecks = isTrue(jsonValue, "noChecks");
    std::map<uint8_t, bool> values;
    for (Flag const& flag : table) {
        if (checkAll || noChecks) {
            values.emplace(flag.bit, checkAll);
            continue;
        }
        if (!jsonValue.is_object()) {
            continue;
        }
        auto const it = jsonValue.find(flag.name);
        if (it != jsonValue.end() && it->is_boolean()) {
            values.emplace(flag.bit, it->get<bool>());
        }
    }
    return values;
}

std::map<uint8_t, bool> Flags::render() const {
    switch (source) {
    case SourceWord:
        return parseFromBitset();
    case SourceJson:
        return parseFromJson();
    default:
        return {};
    }
}

std::bitset<16> Flags::toBitset() const {
    return NamedBits::toWord(table, render());
}

Flags::json Flags::toJson() const {
    const std::map<uint8_t, bool> values = render();
    json result = json::object();
    bool allSet = true;
    bool noneSet = true;
    for (Flag const& flag : table) {
        auto const it = values.find(flag.bit);
        if (it == values.end()) {
            continue;
        }
        result[flag.name] = it->second;
        allSet = allSet && it->second;
        noneSet = noneSet && !it->second;
    }
    result["noChecks"] = noneSet;
    result["checkAll"] = allSet;
    return result;
}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
