#pragma once

#include "engine/Monitoring.h"
#include "foundation/Logger.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// How fresh the board caches are (per step and board, the interval between
// the two latest completions of the step) and how much of each second the
// monitoring thread sleeps. Fed by the monitoring thread; the engine guards
// it with its state lock.
class MonitorStatistics : public Logger {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = std::chrono::time_point<Clock, std::chrono::nanoseconds>;

    // Takes the names over; every age 0, every completion now.
    explicit MonitorStatistics(std::map<uint8_t, std::string>&& names);
    ~MonitorStatistics() override;

    // The step completed for the board at `now`. Throws std::out_of_range for
    // a board or step without an entry, before anything changes.
    void setCachAge(uint8_t address, Monitoring::Steps step, TimePoint now);
    // Adds idle time to the current window of at least one second.
    void addIdleTime(std::chrono::nanoseconds idle);
    // {"caheAge": {name: {"config","misc","status","telemetry"} in ms}, "idleMsPerSec": ms}
    nlohmann::json toJson() const;

private:
    std::map<Monitoring::Steps, std::map<uint8_t, int64_t>> cacheAges; // ns
    std::map<Monitoring::Steps, std::map<uint8_t, TimePoint>> lastCompletions;
    int64_t idleNsPerSec = 0;
    std::map<uint8_t, std::string> boardNames;
};

} // namespace velt::ZRV480::BoardManager::Manager
