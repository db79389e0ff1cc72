#include "engine/MonitorStatistics.h"

#include <optional>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

using Steps = Monitoring::Steps;

constexpr Steps AllSteps[] = {Steps::Status, Steps::Misc, Steps::Telemetry, Steps::Config};

constexpr int64_t NsPerMs = 1000000;

} // namespace

MonitorStatistics::MonitorStatistics(std::map<uint8_t, std::string>&& names)
    : Logger(""), boardNames(std::move(names)) {
    TimePoint const now = Clock::now();
    for (auto const& entry : boardNames) {
        for (Steps step : AllSteps) {
            cacheAges[step][entry.first] = 0;
            lastCompletions[step][entry.first] = now;
        }
    }
}

MonitorStatistics::~MonitorStatistics() = default;

void MonitorStatistics::setCachAge(uint8_t address, Monitoring::Steps step, TimePoint now) {
    TimePoint& last = lastCompletions.at(step).at(address);
    int64_t& age = cacheAges.at(step).at(address);
    age = (now - last).count();
    last = now;
}

void MonitorStatistics::addIdleTime(std::chrono::nanoseconds idle) {
    // One window for the whole process, whichever instance reports.
    static std::optional<TimePoint> prev;
    static std::chrono::nanoseconds sum{0};
    static std::chrono::nanoseconds diff{0};

    TimePoint const now = Clock::now();
    if (!prev) {
        prev = now;
    }
    sum += idle;
    diff += now - *prev;
    if (diff.count() > 999999999) {
        idleNsPerSec = sum.count();
        sum = std::chrono::nanoseconds{0};
        diff = std::chrono::nanoseconds{0};
    }
    prev = now;
}

nlohmann::json MonitorStatistics::toJson() const {
    nlohmann::json result = nlohmann::json::object();
    for (auto const& [address, boardName] : boardNames) {
        auto ageMs = [this, address = address](Steps step) {
            return cacheAges.at(step).at(address) / NsPerMs;
        };
        result["caheAge"][boardName] = {{"status", ageMs(Steps::Status)},
                                        {"telemetry", ageMs(Steps::Telemetry)},
                                        {"config", ageMs(Steps::Config)},
                                        {"misc", ageMs(Steps::Misc)}};
    }
    result["idleMsPerSec"] = idleNsPerSec / NsPerMs;
    return result;
}

} // namespace velt::ZRV480::BoardManager::Manager
