#include "bus/Board.h"

#include "foundation/String.h"

#include <climits>

namespace velt::ZRV480::Bus {

namespace {

// Width of the type column: the length of "Double".
int const TypeWidth = 6;

// ", min=..." and ", max=..." for the bounds that are set.
std::string limitSuffix(Board::Config const& config) {
    std::string suffix;
    if (config.min != INT32_MIN) {
        suffix += ", min=" + String::fromInteger(config.min, 10, 1, '0');
    }
    if (config.max != INT32_MAX) {
        suffix += ", max=" + String::fromInteger(config.max, 10, 1, '0');
    }
    return suffix;
}

} // namespace

Board::Board(uint8_t boardAddress, std::string const& boardName, std::string const& firmwareFile,
             uint8_t firmwareVersion, std::map<uint8_t, std::string> const& statusNames,
             std::map<uint8_t, Telemetry> const& telemetrySlots,
             std::map<uint8_t, Config> const& configSlots,
             std::map<uint8_t, std::string> const& actionNames,
             std::map<uint8_t, EnumValues> const& enumValues)
    : Logger("Board::" + boardName), address(boardAddress), name(boardName), statuses(statusNames),
      telemetries(telemetrySlots), configs(configSlots), actions(actionNames),
      configEnumValues(enumValues), expectedFirmwareVersion(firmwareVersion),
      firmwareFilename(firmwareFile), statusMask(calculateStatusMask()) {}

Board::EnumValues const& Board::getConfigEnumValues(uint8_t slot) const {
    return configEnumValues.at(slot);
}

uint64_t Board::calculateStatusMask() const {
    uint64_t mask = 0;
    for (auto const& status : statuses) {
        mask |= uint64_t(1) << (status.first % 64);
    }
    return mask & ~uint64_t(1);
}

std::string Board::idToStr(std::array<uint8_t, 16> const& id) {
    std::string text;
    for (size_t word = 0; word < 4; ++word) {
        uint8_t const* b = &id[4 * word];
        const uint32_t value =
            uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        text += String::format(word == 0 ? "%08x" : "-%08x", value);
    }
    return text;
}

void Board::print() const {
    log(Log::Level::Info, "Board[0x%02X]: %s", address, name.c_str());
    log(Log::Level::Info, "  - Firmare:");
    log(Log::Level::Info, "    - Filename: %s", firmwareFilename.c_str());
    log(Log::Level::Info, "    - Version: %zu", size_t(expectedFirmwareVersion));
    printTelemetries();
    printConfigs();
    printStatuses();
    printActions();
}

void Board::printTelemetries() const {
    log(Log::Level::Info, "  - Telemetries: %zu", telemetries.size());
    for (auto const& [slot, telemetry] : telemetries) {
        const std::string type = slotTypeToStr(telemetry.type);
        switch (telemetry.type) {
        case SlotType::Double:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s (multiplier=%d)", slot, TypeWidth,
                type.c_str(), telemetry.name.c_str(), int(telemetry.multiplier));
            break;
        case SlotType::Enum:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s (values=%s)", slot, TypeWidth,
                type.c_str(), telemetry.name.c_str(), enumValuesText(slot).c_str());
            break;
        default:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s", slot, TypeWidth, type.c_str(),
                telemetry.name.c_str());
            break;
        }
    }
}

void Board::printConfigs() const {
    log(Log::Level::Info, " - Configurations: %zu", configs.size());
    for (auto const& [slot, config] : configs) {
        const std::string type = slotTypeToStr(config.type);
        const std::string limits = limitSuffix(config);
        switch (config.type) {
        case SlotType::Double:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s (multiplier=%d%s)", slot, TypeWidth,
                type.c_str(), config.name.c_str(), int(config.multiplier), limits.c_str());
            break;
        case SlotType::Enum:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s (values=%s)", slot, TypeWidth,
                type.c_str(), config.name.c_str(), enumValuesText(slot).c_str());
            break;
        case SlotType::Int32:
            // The bounds, when set, in the same form as a Double's.
            if (!limits.empty()) {
                log(Log::Level::Info, "    - 0x%02X: %-*s %s (%s)", slot, TypeWidth, type.c_str(),
                    config.name.c_str(), limits.c_str() + 2);
                break;
            }
            [[fallthrough]];
        default:
            log(Log::Level::Info, "    - 0x%02X: %-*s %s", slot, TypeWidth, type.c_str(),
                config.name.c_str());
            break;
        }
    }
}

void Board::printStatuses() const {
    printNames(" - Statuses: %zu", statuses);
}

void Board::printActions() const {
    printNames(" - Actions: %zu", actions);
}

void Board::printNames(char const* title, std::map<uint8_t, std::string> const& names) const {
    log(Log::Level::Info, title, names.size());
    for (auto const& [slot, entryName] : names) {
        log(Log::Level::Info, "    - 0x%02X: %-*s", slot, TypeWidth, entryName.c_str());
    }
}

// "{off, on, }"; "{}" for an empty table, and for a slot without one, so
// that printing never throws.
std::string Board::enumValuesText(uint8_t slot) const {
    std::string text = "{";
    auto const table = configEnumValues.find(slot);
    if (table != configEnumValues.end()) {
        for (auto const& entry : table->second) {
            text += entry.second + ", ";
        }
    }
    return text + "}";
}

} // namespace velt::ZRV480::Bus
