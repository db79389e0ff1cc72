#pragma once

#include "engine/BoardCache.h"
#include "engine/Config.h"
#include "engine/Firmwares.h"
#include "engine/MonitorStatistics.h"
#include "engine/Status.h"

#include "bus/Firmware.h"
#include "bus/Schema.h"

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
    MonitorStatistics monitorStatistics;
    Status status;
    std::map<uint8_t, BoardCache> boardCaches; // entries fixed at construction
    uint8_t serviceConsoleVersion = 0;
    std::string acceptedDir;
    std::string firmwaresDir;
    Firmwares firmwares; // its file is written under reportFileMutex
    std::map<uint8_t, Bus::ValueObjects::Firmware> otaImages;
};

} // namespace velt::ZRV480::BoardManager::Manager
