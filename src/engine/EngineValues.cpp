#include "engine/Engine.h"

#include "bus/FlagsFlash.h"
#include "bus/FlagsSd.h"
#include "bus/Parser.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Parser;
using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using Bus::ValueObjects::Bootloader::FlagsFlash;
using Bus::ValueObjects::Bootloader::FlagsSd;

namespace {

// The flags every board's bootloader gets at initialisation: reinstalls and
// downgrades allowed, and on flash bootloaders the vector table unchecked.
constexpr unsigned long FlashResetFlags = 0xC1;
constexpr unsigned long SdResetFlags = 0x30;

// The service console's fixed identity.
char const* const ServiceName = "ZRV480_Service";
constexpr uint16_t ServiceBoardVersion = 2;

} // namespace

ErrorCode Engine::boardTelemetryGet(uint8_t address, uint8_t slot, nlohmann::json& value) const {
    log(Log::Level::Debug, "boardTelemetryGet(%s, %d)", boards.at(address).getName().c_str(), slot);
    return answerFromCache(address, true, [&](BoardCache const& cache) {
        auto const found = cache.telemetries.find(slot);
        if (found == cache.telemetries.end()) {
            return ErrorCode::Timeout;
        }
        value = found->second.second;
        return found->second.first;
    });
}

ErrorCode Engine::boardConfigGet(uint8_t address, uint8_t slot, nlohmann::json& value) const {
    log(Log::Level::Debug, "boardConfigGet(%s, %d)", boards.at(address).getName().c_str(), slot);
    return answerFromCache(address, true, [&](BoardCache const& cache) {
        auto const& entry = cache.configs.at(slot);
        value = entry.second;
        return entry.first;
    });
}

ErrorCode Engine::boardStatusSlot0Get(uint8_t address, std::map<uint8_t, bool>& slot0Status,
                                      std::map<uint8_t, bool>& errors) const {
    Bus::Board const& board = boards.at(address);
    log(Log::Level::Debug, "boardStatusSlot0Get(%s)", board.getName().c_str());
    uint64_t const mask = board.getStatusMask();
    return answerFromCache(address, true, [&](BoardCache const& cache) {
        auto const& words = cache.statusSlot0.second;
        for (uint8_t bit = 0; bit < 32; ++bit) {
            if (((mask >> bit) & 1) != 0) {
                slot0Status[bit] = words.first[bit];
                errors[bit] = words.second[bit];
            }
        }
        return cache.statusSlot0.first;
    });
}

ErrorCode Engine::boardStatusSlotNGet(uint8_t address, uint8_t slot,
                                      std::pair<uint64_t, std::string>& slotStatus) const {
    log(Log::Level::Debug, "boardStatusSlotNGet(%s, %d)", boards.at(address).getName().c_str(),
        slot);
    // The last slotStatus stays readable while the board is being initialised again.
    return answerFromCache(address, false, [&](BoardCache const& cache) {
        auto const& entry = cache.statuses.at(slot);
        slotStatus = {entry.second.first, entry.second.second};
        return entry.first;
    });
}

ErrorCode Engine::boardUptimeGet(uint8_t address, uint32_t& uptime) const {
    log(Log::Level::Debug, "uptime(%s)", boards.at(address).getName().c_str());
    return getCached(address, &BoardCache::heartbeat, uptime);
}

ErrorCode Engine::boardInfoGet(uint8_t address, BoardInfo& info) const {
    if (address == Bus::Schema::AddressService) {
        info.boardName = ServiceName;
        info.boardVersion = ServiceBoardVersion;
        info.firmwareName = ServiceName;
        return state.with([&](EngineState const& s) {
            info.firmwareVersion = s.serviceConsoleVersion;
            return ErrorCode::Success;
        });
    }
    log(Log::Level::Debug, "boardInfoGet(%s)", boards.at(address).getName().c_str());
    return getCached(address, &BoardCache::boardInfo, info);
}

ErrorCode Engine::boardBootloaderFlagsGet(uint8_t address, Flags& flags) const {
    log(Log::Level::Debug, "boardBootloaderFlagsGet(%s)", boards.at(address).getName().c_str());
    return getCached(address, &BoardCache::bootloaderFlags, flags);
}

ErrorCode Engine::boardBootloaderStatusGet(uint8_t address, BootloaderStatus& bootStatus) const {
    log(Log::Level::Debug, "boardBootloaderStatusGet(%s)", boards.at(address).getName().c_str());
    return getCached(address, &BoardCache::bootloaderStatus, bootStatus);
}

ErrorCode Engine::boardConfigSet(uint8_t address, uint8_t slot, nlohmann::json& value) {
    ErrorCode const code = writeBoardConfig(address, slot, value);
    if (code == ErrorCode::Success) {
        // Else the next start would write the stored value back.
        storeAcceptedConfig(address, slot, value);
        boardConfigStored.emit(address);
    }
    return code;
}

ErrorCode Engine::writeBoardConfig(uint8_t address, uint8_t slot, nlohmann::json& value) {
    Bus::Board const& board = boards.at(address);
    if (!readCache(state, address, [](BoardCache const& cache) { return cache.firmwareOk; })) {
        return ErrorCode::InvalidBoardVersion;
    }
    auto const found = board.getConfigs().find(slot);
    if (found == board.getConfigs().end()) {
        return ErrorCode::BusInvalidSlot;
    }
    // A value refused here is not sent, so the cache keeps what the board holds.
    ErrorCode const code = Parser::configValueFits(board, slot, value);
    if (code != ErrorCode::Success) {
        log(Log::Level::Warning, "Skipping %s config %s: %s", board.getName().c_str(),
            found->second.name.c_str(), ec2str(code).c_str());
        return code;
    }
    return cacheConfigEcho(address, slot,
                           parser.boardConfigSet(address, slot, found->second.type, value, board),
                           value);
}

ErrorCode Engine::cacheConfigEcho(uint8_t address, uint8_t slot, ErrorCode code,
                                  nlohmann::json const& echo) {
    state.with([&](EngineState& s) { s.boardCaches.at(address).configs[slot] = {code, echo}; });
    return code;
}

ErrorCode Engine::lightSlotUsable(uint8_t address, uint8_t slot) const {
    if (boards.at(address).getConfigs().count(slot) == 0) {
        return ErrorCode::BusInvalidSlot;
    }
    return state.with([&](EngineState const& s) {
        return s.boardCaches.at(address).firmwareOk ? ErrorCode::Success
                                                    : ErrorCode::InvalidBoardVersion;
    });
}

ErrorCode Engine::lightTransitionColor(uint8_t address, uint8_t slot, Color& colour) {
    log(Log::Level::Debug, "lightTransitionColor(%d, %s)", slot, colour.toJson().dump().c_str());
    ErrorCode code = lightSlotUsable(address, slot);
    if (code != ErrorCode::Success) {
        return code;
    }
    code = parser.lightTransitionColor(address, slot, colour);
    return cacheConfigEcho(address, slot, code, colour.toJson());
}

ErrorCode Engine::lightTransitionValue(uint8_t address, uint8_t slot, uint8_t& value) {
    log(Log::Level::Debug, "lightTransitionValue(%d, %d)", slot, value);
    ErrorCode code = lightSlotUsable(address, slot);
    if (code != ErrorCode::Success) {
        return code;
    }
    code = parser.lightTransitionValue(address, slot, value);
    return cacheConfigEcho(address, slot, code, static_cast<unsigned>(value));
}

ErrorCode Engine::boardAction(uint8_t address, uint8_t action) {
    return parser.boardAction(address, action);
}

ErrorCode Engine::boardRestoreDefaults(uint8_t address) {
    return parser.boardRestoreDefaults(address);
}

ErrorCode Engine::lightPatternPlay(uint8_t address, uint8_t slot,
                                   std::vector<PatternStep> const& steps, uint8_t repeat) {
    return parser.lightPatternPlay(address, slot, steps, repeat);
}

ErrorCode Engine::lightPatternMultiPlay(uint8_t address, Patterns const& patterns) {
    ErrorCode result = ErrorCode::Success;
    for (auto const& [slot, pattern] : patterns) {
        ErrorCode const code =
            parser.lightPatternPlay(address, slot, pattern.first, pattern.second);
        if (code != ErrorCode::Success) {
            result = code;
        }
    }
    return result;
}

ErrorCode Engine::boardBootloaderFlagsSet(uint8_t address, Flags& flags) {
    return cacheEcho(address, &BoardCache::bootloaderFlags,
                     parser.boardBootloaderFlagsSet(address, flags), flags);
}

ErrorCode Engine::boardBootloaderFlagsReset(uint8_t address) {
    if (address == Bus::Schema::AddressMain) {
        FlagsSd flags(SdResetFlags);
        return boardBootloaderFlagsSet(address, flags);
    }
    FlagsFlash flags(FlashResetFlags);
    return boardBootloaderFlagsSet(address, flags);
}

} // namespace velt::ZRV480::BoardManager::Manager
