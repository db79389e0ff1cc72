#pragma once

#include "foundation/Logger.h"
#include "foundation/SettingStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>

namespace velt::ZRV480::BoardManager::Manager {

// The engine's settings ("statusPeriod", "timeoutMs", "retransmissions",
// "cacheBatchSize", travelling as the "device" object through the store's
// JSON form) and the stored configuration document of each board. Holds no
// lock: the engine guards it with its state lock.
class Config : public SettingStore, public Logger {
public:
    Config();
    ~Config() override;

    // Stores the four defaults, replacing what the keys held.
    void defaults();

    // Each reads its key through the Variant integer conversion (automatic
    // base, 0 for a text that is no number); no range check here: the
    // configuration file and the "config" node hold every value to its
    // limits before it reaches the store.
    uint32_t getStatusPeriod() const;   // ms between monitoring cycles
    uint64_t getUdpTimeoutMs() const;   // default time-out of a bus request
    uint64_t getRetransmit() const;     // further attempts of a bus request
    uint64_t getCacheBatchSize() const; // telemetry slots per board and cycle

    // Replaces the board's document whole.
    void setBoardConfig(uint8_t address, nlohmann::json const& document);
    // A copy of the board's document; null when it has none.
    nlohmann::json getBoardConfig(uint8_t address) const;

private:
    std::map<uint8_t, nlohmann::json> boardConfigs;
};

} // namespace velt::ZRV480::BoardManager::Manager
