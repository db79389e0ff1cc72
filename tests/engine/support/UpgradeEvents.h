#pragma once

#include "engine/Engine.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace enginetest {

// Records what an engine announces about firmware upgrades, from whichever
// thread emits it. Must outlive the engine's emissions (attach it to an
// engine that is destroyed first).
class UpgradeEvents {
public:
    using Engine = velt::ZRV480::BoardManager::Manager::Engine;
    using Firmwares = velt::ZRV480::BoardManager::Manager::Firmwares;

    explicit UpgradeEvents(Engine& engine);

    // Blocks until `count` finished and status signals came, or timeoutMs ran out.
    bool waitEvents(size_t count, int timeoutMs = 10000);

    // Finished and status signals in the order they came, as
    // "finished <address> <code name>" and "status <state text>".
    std::vector<std::string> sequence() const;
    std::vector<std::pair<uint8_t, float>> progress() const;
    // The engine's reports as each status signal saw them.
    std::vector<Firmwares> reportsAtStatus() const;

private:
    Engine& engine;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;              // guarded by mutex
    std::vector<std::pair<uint8_t, float>> steps; // guarded by mutex
    std::vector<Firmwares> reports;               // guarded by mutex
};

} // namespace enginetest
