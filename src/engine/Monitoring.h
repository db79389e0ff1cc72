#pragma once

#include "bus/Board.h"

#include <cstdint>
#include <map>

namespace velt::ZRV480::BoardManager::Manager {

// Where the monitoring loop's next configuration read and telemetry run
// start, per board. The positions point into the engine's own map of boards,
// which never changes after construction, so they stay valid for the
// engine's life. Used by the monitoring thread only.
class Monitoring {
public:
    using Boards = std::map<uint8_t, Bus::Board>;
    using ConfigIt = std::map<uint8_t, Bus::Board::Config>::const_iterator;
    using TelemetryIt = std::map<uint8_t, Bus::Board::Telemetry>::const_iterator;

    // The monitoring steps under which cache ages are recorded.
    enum class Steps : int { Status = 2, Misc = 3, Telemetry = 4, Config = 5 };

    // Every cursor at its board's first slot.
    explicit Monitoring(Boards const& boards);

    // References to the stored positions, so the loop can advance and reset
    // them; an address without an entry gets a default one on first use.
    ConfigIt& getConfigIts(uint8_t address);
    ConfigIt& getConfigItEnds(uint8_t address);
    TelemetryIt& getTelemetryIts(uint8_t address);
    TelemetryIt& getTelemetryItEnds(uint8_t address);

private:
    std::map<uint8_t, ConfigIt> configItEnds;
    std::map<uint8_t, ConfigIt> configIts;
    std::map<uint8_t, TelemetryIt> telemetryItEnds;
    std::map<uint8_t, TelemetryIt> telemetryIts;
};

} // namespace velt::ZRV480::BoardManager::Manager
