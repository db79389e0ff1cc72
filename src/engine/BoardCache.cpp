#include "engine/BoardCache.h"

namespace velt::ZRV480::BoardManager::Manager {

BoardCache::BoardCache() = default;

BoardCache::BoardCache(Bus::Board const& board) {
    for (auto const& entry : board.getStatuses()) {
        statuses.emplace(entry.first,
                         Entry<std::pair<uint16_t, std::string>>{ErrorCode::Timeout, {}});
    }
    for (auto const& entry : board.getTelemetries()) {
        telemetries.emplace(entry.first, Entry<nlohmann::json>{ErrorCode::Timeout, nullptr});
    }
    for (auto const& entry : board.getConfigs()) {
        configs.emplace(entry.first, Entry<nlohmann::json>{ErrorCode::Timeout, nullptr});
    }
}

BoardCache::~BoardCache() = default;

} // namespace velt::ZRV480::BoardManager::Manager
