#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Parser.h"
#include "bus/Schema.h"
#include "foundation/String.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;

namespace {

// At most this many initialisations fail in a row before the board is left
// alone until it is rebooted on request.
constexpr uint32_t MaxInitAttempts = 5;
// A main-board clock further off than this is worth a warning.
constexpr int64_t ClockToleranceS = 3600;

} // namespace

ErrorCode Engine::boardInitStartup(uint8_t address) {
    std::string const& boardName = boards.at(address).getName();
    log(Log::Level::Info, "Initializing %s...", boardName.c_str());
    if (address != Bus::Schema::AddressMain) {
        // Behind a silent main board no other board can answer.
        ErrorCode const mainHeartbeat =
            readCache(state, Bus::Schema::AddressMain,
                      [](BoardCache const& cache) { return cache.heartbeat.first; });
        if (mainHeartbeat != ErrorCode::Success) {
            return mainHeartbeat;
        }
    }
    if (!beginInitAttempt(address)) {
        return ErrorCode::InvalidParameter;
    }

    monitor.cacheHeartbeat(address);
    ErrorCode result =
        readCache(state, address, [](BoardCache const& cache) { return cache.heartbeat.first; });
    if (result != ErrorCode::Success) {
        log(Log::Level::Error, "Could not get board heartbeat");
        return result;
    }

    BoardInfo info;
    result = parser.boardInfoGet(address, info);
    changeCache(state, address, [&](BoardCache& cache) { cache.boardInfo = {result, info}; });
    if (result != ErrorCode::Success) {
        log(Log::Level::Error, "Could not get board info");
        return result;
    }

    ErrorCode const flags = boardBootloaderFlagsReset(address);
    if (flags != ErrorCode::Success) {
        log(Log::Level::Error, "Could not set %s bootloader flags (%s)", boardName.c_str(),
            ec2str(flags).c_str());
    }
    cacheBootloaderStatus(address);
    monitor.handleBoardStatus(address);
    checkRebootMarker(address);
    if (auto const firmwareResult = checkFirmwareVersion(address)) {
        return *firmwareResult;
    }

    if (address == Bus::Schema::AddressMain) {
        setMainClock();
    }
    loadBoardConfig(address);
    result = boardConfigCacheApply(address);
    // A value the board refuses is no reason to leave the board unserved.
    if (result != ErrorCode::Success && result != ErrorCode::BusInvalidValue) {
        log(Log::Level::Error, "Could not apply config on %s", boardName.c_str());
        return result;
    }
    return finishInit(address, String::format("Initialized %s", boardName.c_str()).c_str());
}

ErrorCode Engine::boardInitEmergency(uint8_t address) {
    std::string const& boardName = boards.at(address).getName();
    if (!beginInitAttempt(address)) {
        return ErrorCode::InvalidParameter;
    }
    log(Log::Level::Info, "boardInitEmergency(%s)", boardName.c_str());

    BoardInfo info;
    ErrorCode result = parser.boardInfoGet(address, info);
    changeCache(state, address, [&](BoardCache& cache) { cache.boardInfo = {result, info}; });
    if (result != ErrorCode::Success) {
        return result;
    }
    monitor.handleBoardStatus(address);
    checkRebootMarker(address);
    if (auto const firmwareResult = checkFirmwareVersion(address)) {
        return *firmwareResult;
    }

    // A board absent at start never had its start-up initialisation reach
    // its configuration: it gets that step now, file and all. Later on only
    // its own copy: the cache holds the rest.
    bool const late =
        !readCache(state, address, [](BoardCache const& cache) { return cache.configLoaded; });
    if (late) {
        loadBoardConfig(address);
    } else {
        boardConfigCacheFromTempfs(address);
    }
    result = boardConfigCacheApply(address);
    // As at start-up, a value the board refuses does not leave it unserved.
    if (result != ErrorCode::Success && !(late && result == ErrorCode::BusInvalidValue)) {
        log(Log::Level::Error, "Could not apply config on %s: %s", boardName.c_str(),
            ec2str(result).c_str());
        return result;
    }
    cacheBootloaderFlags(address);
    cacheBootloaderStatus(address);
    return finishInit(address, "Done");
}

void Engine::loadBoardConfig(uint8_t address) {
    if (boardConfigCacheFromTempfs(address) != ErrorCode::Success) {
        boardConfigCacheFromConfigFile(address);
    }
    changeCache(state, address, [](BoardCache& cache) { cache.configLoaded = true; });
}

void Engine::boardHadReboot(uint8_t address) {
    state.with([&](EngineState& s) { s.otaImages.erase(address); });
    firmwareUpgrades.dropReport(address);
}

void Engine::cacheBootloaderStatus(uint8_t address) {
    log(Log::Level::Debug, "cacheBootloaderStatus(%s)", boards.at(address).getName().c_str());
    BootloaderStatus bootStatus;
    ErrorCode const result = parser.bootloaderStatusGet(address, bootStatus);
    changeCache(state, address, [&](BoardCache& cache) {
        cache.bootloaderStatus = {result, bootStatus};
    });
}

void Engine::cacheBootloaderFlags(uint8_t address) {
    log(Log::Level::Debug, "cacheBootloaderFlags(%d)", address);
    bool const firmwareOk =
        readCache(state, address, [](BoardCache const& cache) { return cache.firmwareOk; });
    if (!firmwareOk) {
        changeCache(state, address, [](BoardCache& cache) {
            cache.bootloaderFlags = {ErrorCode::InvalidBoardVersion, Flags()};
        });
        return;
    }
    Flags flags;
    ErrorCode const result = parser.bootloaderFlagsGet(address, flags);
    changeCache(state, address, [&](BoardCache& cache) {
        cache.bootloaderFlags = {result, flags};
    });
}

bool Engine::beginInitAttempt(uint8_t address) {
    return changeCache(state, address, [](BoardCache& cache) {
        cache.firmwareOk = false;
        cache.initialized = false;
        ++cache.initAttempts;
        return cache.initAttempts <= MaxInitAttempts;
    });
}

void Engine::checkRebootMarker(uint8_t address) {
    int32_t value = 0;
    // An unreadable cell is no sign of a reboot.
    if (parser.scratchpadGet(address, ScratchpadCell, value) == ErrorCode::Success &&
        value != ScratchpadMarker) {
        boardHadReboot(address);
    }
}

std::optional<ErrorCode> Engine::checkFirmwareVersion(uint8_t address) {
    Board const& board = boards.at(address);
    unsigned const expected = board.getExpectedFirmwareVersion();
    unsigned const actual = readCache(state, address, [](BoardCache const& cache) {
        return cache.boardInfo.second.firmwareVersion;
    });
    if (expected == actual) {
        changeCache(state, address, [](BoardCache& cache) { cache.firmwareOk = true; });
        return std::nullopt;
    }
    // Served all the same, as far as a board with unknown firmware can be:
    // the monitoring loop does not try it again. Its values are not read,
    // so each answers the version fault from now on, not a time-out until
    // the loop comes to it.
    changeCache(state, address, [](BoardCache& cache) {
        cache.initialized = true;
        for (auto* slots : {&cache.telemetries, &cache.configs}) {
            for (auto& entry : *slots) {
                entry.second = {ErrorCode::InvalidBoardVersion, nullptr};
            }
        }
    });
    log(Log::Level::Error, "%s: Firmware version not known! (expected=%d, actual=%d)",
        board.getName().c_str(), expected, actual);
    ErrorCode const written = writeRebootMarker(address);
    if (written != ErrorCode::Success) {
        return written;
    }
    // As far as it goes, this initialisation is finished: power cycles must
    // not use up the attempts, or its status would no longer be read.
    changeCache(state, address, [](BoardCache& cache) { cache.initAttempts = 0; });
    return ErrorCode::InvalidBoardVersion;
}

void Engine::setMainClock() {
    int32_t remote = 0;
    ErrorCode const read = parser.mainTimestampGet(remote);
    int32_t local = static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr)));
    if (read != ErrorCode::Success) {
        log(Log::Level::Warning, "Could not get main RTC");
    } else {
        log(Log::Level::Info, "Main RTC was %zu, setting to %zu",
            static_cast<size_t>(static_cast<uint32_t>(remote)),
            static_cast<size_t>(static_cast<uint32_t>(local)));
        int32_t const offset =
            static_cast<int32_t>(static_cast<uint32_t>(local) - static_cast<uint32_t>(remote));
        if (std::llabs(offset) > ClockToleranceS) {
            log(Log::Level::Warning, "RTC was off by more than 1h");
        }
    }
    if (parser.mainTimestampSet(local) != ErrorCode::Success) {
        log(Log::Level::Error, "Could not set main RTC");
    }
}

ErrorCode Engine::writeRebootMarker(uint8_t address) {
    int32_t marker = ScratchpadMarker;
    ErrorCode const written = parser.scratchpadSet(address, ScratchpadCell, marker);
    if (written != ErrorCode::Success) {
        log(Log::Level::Error, "Could not set scratchpad on %s",
            boards.at(address).getName().c_str());
    }
    return written;
}

ErrorCode Engine::finishInit(uint8_t address, char const* doneLine) {
    ErrorCode const written = writeRebootMarker(address);
    if (written != ErrorCode::Success) {
        return written;
    }
    changeCache(state, address, [](BoardCache& cache) {
        cache.initialized = true;
        cache.initAttempts = 0;
    });
    log(Log::Level::Info, "%s", doneLine);
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::BoardManager::Manager
