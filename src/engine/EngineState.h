#pragma once

#include "engine/BoardCache.h"
#include "engine/Config.h"
#include "engine/Firmwares.h"
#include "engine/MonitorStatistics.h"
#include "engine/Status.h"

#include "bus/Firmware.h"
#include "bus/Schema.h"
#include "foundation/Guarded.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// What the engine's threads share beyond the lifecycle: held in a
// Guarded<EngineState>, so it is only ever touched under its leaf lock.
struct EngineState {
    explicit EngineState(Bus::Schema const& schema)
        : monitorStatistics(schema.getBoardNames()), firmwares(schema.getBoardNames()) {
        for (auto const& [address, board] : schema.getBoards()) {
            boardCaches.emplace(address, BoardCache(board));
        }
    }

    Config config;
    // Board address -> the document getBoardsConfig last answered for it.
    std::map<uint8_t, nlohmann::json> answeredBoardConfigs;
    MonitorStatistics monitorStatistics;
    Status status;
    std::map<uint8_t, BoardCache> boardCaches; // entries fixed at construction
    uint8_t serviceConsoleVersion = 0;
    std::string acceptedDir;
    std::string firmwaresDir;
    Firmwares firmwares; // its file is written under reportFileMutex
    std::map<uint8_t, Bus::ValueObjects::Firmware> otaImages;
};

// Runs the function on the board's cache under the state's lock and returns
// its result; the address must be the schema's.
template <typename Change>
auto changeCache(Guarded<EngineState>& state, uint8_t address, Change change) {
    return state.with([&](EngineState& s) { return change(s.boardCaches.at(address)); });
}
template <typename Read>
auto readCache(Guarded<EngineState> const& state, uint8_t address, Read read) {
    return state.with([&](EngineState const& s) { return read(s.boardCaches.at(address)); });
}

} // namespace velt::ZRV480::BoardManager::Manager
