#pragma once

#include "bus/ErrorCode.h"
#include "bus/Packet.h"
#include "foundation/Logger.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace velt::ZRV480::Bus {

// Attempt counters of the command layer per board, command and slot. Not
// thread-safe: its owner serialises updates and copies.
class Statistics : public Logger {
public:
    struct Stat {
        uint64_t transmitted = 0;
        uint64_t completed = 0;
        uint64_t timeouts = 0;
        uint64_t consecutiveFailures = 0;
    };

    explicit Statistics(std::map<uint8_t, std::string> names);

    // Counts one attempt of `request` that ended with `result`.
    void registerStat(Packet const& request, Common::ErrorCode result);
    // Counters summed per board, keyed by board name; null before any attempt.
    nlohmann::json toJson() const;
    // A copy that holds each board's counters summed: the same toJson, from
    // one entry per board instead of one per command and slot.
    Statistics summed() const;

private:
    using Commands = std::map<Packet::Command, std::map<uint8_t, Stat>>;
    static Stat sumOf(Commands const& commands);
    std::string nameOf(uint8_t address) const;

    std::map<uint8_t, std::string> names;
    std::map<uint8_t, Commands> stats;
};

} // namespace velt::ZRV480::Bus
