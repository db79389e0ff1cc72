#include "engine/Config.h"

#include "foundation/Variant.h"

namespace velt::ZRV480::BoardManager::Manager {

namespace {

char const* const StatusPeriod = "statusPeriod";
char const* const TimeoutMs = "timeoutMs";
char const* const Retransmissions = "retransmissions";
char const* const CacheBatchSize = "cacheBatchSize";

} // namespace

Config::Config() : Logger("Engine::Config") {
    defaults();
}

Config::~Config() = default;

void Config::defaults() {
    Logger::log(Log::Level::Info, "Loading default configuration.");
    set(StatusPeriod, Variant(5000));
    set(TimeoutMs, Variant(500));
    set(Retransmissions, Variant(2));
    set(CacheBatchSize, Variant(20));
}

uint32_t Config::getStatusPeriod() const {
    return static_cast<uint32_t>(get(StatusPeriod).toUInt());
}

uint64_t Config::getUdpTimeoutMs() const {
    return get(TimeoutMs).toUInt();
}

uint64_t Config::getRetransmit() const {
    return get(Retransmissions).toUInt();
}

uint64_t Config::getCacheBatchSize() const {
    return get(CacheBatchSize).toUInt();
}

void Config::setBoardConfig(uint8_t address, nlohmann::json const& document) {
    boardConfigs[address] = document;
}

nlohmann::json Config::getBoardConfig(uint8_t address) const {
    auto const found = boardConfigs.find(address);
    return found == boardConfigs.end() ? nlohmann::json() : found->second;
}

} // namespace velt::ZRV480::BoardManager::Manager
