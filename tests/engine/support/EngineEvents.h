#pragma once

#include "engine/Engine.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace enginetest {

// Records the engine's lifecycle, board and file-transfer notices as texts
// ("online 1", "offline 1", "configChanged", "stopped", "transmitFinished 0",
// "receiveFinished 185", "transmitProgress 100", "receiveProgress 50"), from
// whichever thread emits them. Disconnects itself when it goes.
class EngineEvents {
public:
    using Engine = velt::ZRV480::BoardManager::Manager::Engine;

    explicit EngineEvents(Engine& engine);
    ~EngineEvents();
    EngineEvents(EngineEvents const&) = delete;
    EngineEvents& operator=(EngineEvents const&) = delete;

    size_t count(std::string const& event) const;
    // Blocks until `event` came `times` times in all, or timeoutMs ran out.
    bool waitFor(std::string const& event, size_t times, int timeoutMs = 5000) const;
    std::vector<std::string> all() const;

private:
    void record(std::string const& event);

    std::vector<std::function<void()>> disconnects;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> events; // guarded by mutex
};

} // namespace enginetest
