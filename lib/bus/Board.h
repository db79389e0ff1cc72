#pragma once

#include "bus/SlotType.h"
#include "foundation/Logger.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace velt::ZRV480::Bus {

// One board as the schema describes it: address, name, firmware image and
// its numbered slots. Built once while the schema loads, immutable after.
class Board : public Logger {
public:
    struct Telemetry {
        std::string name;
        SlotType type;
        uint8_t multiplier; // divisor of a Double slot, 0 otherwise
    };

    struct Config {
        std::string name;
        SlotType type;
        uint8_t multiplier; // divisor of a Double slot, 0 otherwise
        int32_t min;        // 0 for Bool, Enum and Color slots
        int32_t max;
    };

    using EnumValues = std::map<uint8_t, std::string>; // index -> text

    // Every Enum telemetry and configuration must have an entry in enumValues.
    Board(uint8_t address, std::string const& name, std::string const& firmwareFilename,
          uint8_t expectedFirmwareVersion, std::map<uint8_t, std::string> const& statuses,
          std::map<uint8_t, Telemetry> const& telemetries, std::map<uint8_t, Config> const& configs,
          std::map<uint8_t, std::string> const& actions,
          std::map<uint8_t, EnumValues> const& enumValues);

    uint8_t getAddress() const { return address; }
    std::string const& getName() const { return name; }
    std::string const& getFirmwareFilename() const { return firmwareFilename; }
    // 123 for version 1.2.3.
    uint8_t const& getExpectedFirmwareVersion() const { return expectedFirmwareVersion; }
    std::map<uint8_t, std::string> const& getStatuses() const { return statuses; }
    std::map<uint8_t, Telemetry> const& getTelemetries() const { return telemetries; }
    std::map<uint8_t, Config> const& getConfigs() const { return configs; }
    std::map<uint8_t, std::string> const& getActions() const { return actions; }
    uint64_t getStatusMask() const { return statusMask; }
    // The table of an Enum telemetry or configuration slot; throws
    // std::out_of_range for a slot without one.
    EnumValues const& getConfigEnumValues(uint8_t slot) const;

    // Bit (slot mod 64) of every status slot; bit 0 always clear.
    uint64_t calculateStatusMask() const;

    // The four little-endian 32-bit words as 8 hex digits each, joined by "-".
    static std::string idToStr(std::array<uint8_t, 16> const& id);

    void print() const;
    void printTelemetries() const;
    void printConfigs() const;
    void printStatuses() const;
    void printActions() const;

private:
    void printNames(char const* title, std::map<uint8_t, std::string> const& names) const;
    std::string enumValuesText(uint8_t slot) const;

    uint8_t address;
    std::string name;
    std::map<uint8_t, std::string> statuses;
    std::map<uint8_t, Telemetry> telemetries;
    std::map<uint8_t, Config> configs;
    std::map<uint8_t, std::string> actions;
    std::map<uint8_t, EnumValues> configEnumValues; // telemetries' and configurations' alike
    uint8_t expectedFirmwareVersion;
    std::string firmwareFilename;
    uint64_t statusMask;
};

} // namespace velt::ZRV480::Bus
