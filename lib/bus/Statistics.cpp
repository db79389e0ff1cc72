#include "bus/Statistics.h"

#include <nlohmann/json.hpp>

namespace velt::ZRV480::Bus {

using Common::ErrorCode;

namespace {

// The run length at which a failing slot is reported, once per run.
constexpr uint64_t FailureRunReported = 5;

} // namespace

Statistics::Statistics(std::map<uint8_t, std::string> boardNames)
    : Logger("[Manager::Statistics]"), names(std::move(boardNames)) {}

void Statistics::registerStat(Packet const& request, ErrorCode result) {
    Stat& stat = stats[request.getAddress()][request.getCommand()][request.getSlot()];
    stat.transmitted += 1;
    if (result == ErrorCode::Timeout || result == ErrorCode::BusTimeout) {
        stat.timeouts += 1;
    }
    if (result == ErrorCode::Success) {
        stat.completed += 1;
        stat.consecutiveFailures = 0;
        return;
    }
    stat.consecutiveFailures += 1;
    if (stat.consecutiveFailures == FailureRunReported) {
        log(Log::Level::Warning, "%s %s %d had 5 consecutive failures!",
            nameOf(request.getAddress()).c_str(),
            Packet::commandToStr(request.getCommand()).c_str(), request.getSlot());
    }
}

Statistics::Stat Statistics::sumOf(Commands const& commands) {
    Stat sum;
    for (auto const& [command, slots] : commands) {
        for (auto const& [slot, stat] : slots) {
            sum.transmitted += stat.transmitted;
            sum.completed += stat.completed;
            sum.timeouts += stat.timeouts;
            sum.consecutiveFailures += stat.consecutiveFailures;
        }
    }
    return sum;
}

Statistics Statistics::summed() const {
    Statistics copy(names);
    for (auto const& [address, commands] : stats) {
        copy.stats[address][Packet::Command{}][0] = sumOf(commands);
    }
    return copy;
}

nlohmann::json Statistics::toJson() const {
    nlohmann::json result;
    for (auto const& [address, commands] : stats) {
        Stat const sum = sumOf(commands);
        nlohmann::json& board = result[nameOf(address)];
        board["completed"] = sum.completed;
        board["consecutiveFailures"] = sum.consecutiveFailures;
        board["timeouts"] = sum.timeouts;
        board["transmited"] = sum.transmitted;
        board["failures"] = sum.transmitted - sum.timeouts - sum.completed;
    }
    return result;
}

std::string Statistics::nameOf(uint8_t address) const {
    auto const it = names.find(address);
    return it == names.end() ? "unknown" : it->second;
}

} // namespace velt::ZRV480::Bus
