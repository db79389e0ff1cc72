#pragma once

#include "bus/NamedBits.h"

#include <nlohmann/json.hpp>

#include <bitset>
#include <map>
#include <vector>

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// A board's bootloader flag word, carried between the bus (a 16-bit word) and
// MQTT clients (a JSON object of booleans). The name table travels with the
// value because the main board numbers its flags differently.
class Flags {
public:
    using Flag = NamedBit;
    using json = nlohmann::json;

    // Which field holds the value; any other source yields no flags at all.
    static constexpr int SourceWord = 0;
    static constexpr int SourceJson = 1;

    Flags();
    Flags(std::vector<Flag> const& table, std::bitset<16> const& word);
    // A client's object; it encodes to 0 until a table is given (FlagsFlash,
    // FlagsSd).
    explicit Flags(json const& value);
    Flags(std::vector<Flag> const& table, json const& value);
    Flags(Flags const&) = default;
    Flags& operator=(Flags const&) = default;
    virtual ~Flags();

    std::map<uint8_t, bool> parseFromBitset() const;
    // "checkAll" true sets every flag, else "noChecks" true clears every flag,
    // else each flag takes its own boolean member; non-booleans are absent.
    std::map<uint8_t, bool> parseFromJson() const;
    std::map<uint8_t, bool> render() const;
    // Only named bits can be set; flags the value does not name are cleared.
    std::bitset<16> toBitset() const;
    // One boolean per flag the value names, plus "checkAll" and "noChecks"
    // computed over those flags only.
    json toJson() const;

protected:
    // Keeps other's value and replaces its table.
    Flags(Flags const& other, std::vector<Flag> const& table);

    int source;
    json jsonValue;
    std::bitset<16> word;
    std::vector<Flag> table;
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
