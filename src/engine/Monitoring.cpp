#include "engine/Monitoring.h"

namespace velt::ZRV480::BoardManager::Manager {

Monitoring::Monitoring(Boards const& boards) {
    for (auto const& [address, board] : boards) {
        configIts[address] = board.getConfigs().begin();
        configItEnds[address] = board.getConfigs().end();
        telemetryIts[address] = board.getTelemetries().begin();
        telemetryItEnds[address] = board.getTelemetries().end();
    }
}

Monitoring::ConfigIt& Monitoring::getConfigIts(uint8_t address) {
    return configIts[address];
}

Monitoring::ConfigIt& Monitoring::getConfigItEnds(uint8_t address) {
    return configItEnds[address];
}

Monitoring::TelemetryIt& Monitoring::getTelemetryIts(uint8_t address) {
    return telemetryIts[address];
}

Monitoring::TelemetryIt& Monitoring::getTelemetryItEnds(uint8_t address) {
    return telemetryItEnds[address];
}

} // namespace velt::ZRV480::BoardManager::Manager
