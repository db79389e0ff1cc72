#include "engine/Monitor.h"

#include "bus/Packet.h"
#include "bus/Parser.h"
#include "bus/SlotType.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Packet;
using Bus::SlotType;
using Bus::Common::ec2str;
using Bus::Common::ErrorCode;

std::pair<ErrorCode, nlohmann::json> Monitor::readSlotValue(Packet const& request, SlotType type,
                                                            uint8_t multiplier) {
    ErrorCode code = ErrorCode::InvalidParameter;
    nlohmann::json value;
    switch (type) {
    case SlotType::Int32: {
        int32_t raw = 0;
        code = parser.int32Get(request, raw);
        value = raw;
        break;
    }
    case SlotType::Bool: {
        bool flag = false;
        code = parser.boolGet(request, flag);
        value = flag;
        break;
    }
    case SlotType::Double: {
        double number = 0;
        code = parser.doubleGet(request, multiplier, number);
        value = number;
        break;
    }
    case SlotType::Color: {
        int32_t raw = 0;
        code = parser.int32Get(request, raw);
        auto const bits = static_cast<uint32_t>(raw);
        value = {{"r", (bits >> 16) & 0xFFu}, {"g", (bits >> 8) & 0xFFu}, {"b", bits & 0xFFu}};
        break;
    }
    case SlotType::Enum:
        break;
    }
    // What a failed read left behind means nothing.
    if (code != ErrorCode::Success) {
        value = nullptr;
    }
    return {code, value};
}

void Monitor::cacheTelemetry(uint8_t address, uint8_t slot) {
    Signal<>& signal = events.telemetrySignals.at(address).at(slot);
    Bus::Board const& board = boards.at(address);
    Bus::Board::Telemetry const& telemetry = board.getTelemetries().at(slot);
    log(Log::Level::Debug, "cacheTelemetry(%s, %d)", board.getName().c_str(), slot);
    bool const firmwareOk = changeCache(state, address, [&](BoardCache& cache) {
        if (!cache.firmwareOk) {
            cache.telemetries[slot] = {ErrorCode::InvalidBoardVersion, nullptr};
        }
        return cache.firmwareOk;
    });
    if (!firmwareOk) {
        return;
    }

    std::pair<ErrorCode, nlohmann::json> read{ErrorCode::InvalidParameter, nullptr};
    if (telemetry.type == SlotType::Enum) {
        log(Log::Level::Error, "Can't have enum in telemetry");
    } else {
        read = readSlotValue(Packet(address, Packet::Command::Telemetry, slot, {}), telemetry.type,
                             telemetry.multiplier);
    }

    BoardCache::Entry<nlohmann::json> remembered;
    state.with([&](EngineState& s) {
        auto& entry = s.boardCaches.at(address).telemetries[slot];
        remembered = entry;
        entry = read;
    });
    if (read.first != remembered.first && read.first != ErrorCode::Success) {
        log(Log::Level::Warning, "[%s] Telemetry[%zu] '%s' error detected: %s",
            board.getName().c_str(), static_cast<size_t>(slot), telemetry.name.c_str(),
            ec2str(read.first).c_str());
    }
    if (read.first == ErrorCode::Success && read.second != remembered.second) {
        signal.emit();
    }
}

void Monitor::cacheConfig(uint8_t address, uint8_t slot) {
    Bus::Board const& board = boards.at(address);
    log(Log::Level::Debug, "cacheConfig(%d)", address);
    auto const found = board.getConfigs().find(slot);
    if (found == board.getConfigs().end()) {
        log(Log::Level::Error, "Not a valid option slot for %s: '%d'", board.getName().c_str(),
            slot);
        return;
    }
    Bus::Board::Config const& slotConfig = found->second;
    bool const firmwareOk = changeCache(state, address, [&](BoardCache& cache) {
        if (!cache.firmwareOk) {
            cache.configs[slot] = {ErrorCode::InvalidBoardVersion, nullptr};
        }
        return cache.firmwareOk;
    });
    if (!firmwareOk) {
        return;
    }

    Packet const request(address, Packet::Command::ConfigGet, slot, {});
    std::pair<ErrorCode, nlohmann::json> read{ErrorCode::InvalidParameter, nullptr};
    if (slotConfig.type == SlotType::Enum) {
        int32_t raw = 0;
        read.first = parser.enumGet(request, raw);
        if (read.first == ErrorCode::Success) {
            auto const& names = board.getConfigEnumValues(slot);
            auto const enumName = names.find(static_cast<uint8_t>(raw & 0xFF));
            if (enumName != names.end()) {
                read.second = enumName->second;
            } else {
                log(Log::Level::Error, "Unknown enum value for %s slot %d: %d",
                    board.getName().c_str(), slot, raw);
                read.first = ErrorCode::InvalidParameter;
            }
        }
    } else {
        read = readSlotValue(request, slotConfig.type, slotConfig.multiplier);
    }

    ErrorCode remembered;
    state.with([&](EngineState& s) {
        auto& entry = s.boardCaches.at(address).configs[slot];
        remembered = entry.first;
        entry = read;
    });
    if (read.first != remembered && read.first != ErrorCode::Success) {
        log(Log::Level::Warning, "[%s] Config[%zu] '%s' error detected: %s",
            board.getName().c_str(), static_cast<size_t>(slot), slotConfig.name.c_str(),
            ec2str(read.first).c_str());
    }
}

} // namespace velt::ZRV480::BoardManager::Manager
