#include "bus/Parser.h"

#include "bus/BoardInfo.h"
#include "bus/Packet.h"
#include "bus/PatternStep.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/CheckedLock.h"
#include "foundation/String.h"

#include <algorithm>

namespace velt::ZRV480::Bus {

using Common::ErrorCode;
using ValueObjects::BoardInfo;

ErrorCode Parser::boardInfoGet(uint8_t address, BoardInfo& info) {
    std::string const& boardName = names.at(address);
    Trace const trace(
        [&boardName] { return String::format("boardInfoGet(%s)", boardName.c_str()); });
    std::vector<uint8_t> payload;
    // A record is at least 4 bytes long.
    ErrorCode result = query(Packet(address, Packet::Command::Misc, Protocol::Misc::BoardInfo, {}),
                             trace, 4, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    // The record: firmware name, 0, version (2 bytes), board name, 0, then
    // optionally the board version (1 byte) and the board id (16 bytes).
    // Nothing past the payload is read: a record cut short is malformed.
    auto firmwareEnd = std::find(payload.begin(), payload.end(), 0);
    if (payload.end() - firmwareEnd < 3) {
        return ErrorCode::MalformedResponse;
    }
    auto boardBegin = firmwareEnd + 3;
    auto boardEnd = std::find(boardBegin, payload.end(), 0);
    if (boardEnd == payload.end()) {
        return ErrorCode::MalformedResponse;
    }
    size_t rest = static_cast<size_t>(payload.end() - boardEnd) - 1;
    if (rest != 0 && rest < 1 + Protocol::BoardIdSize) {
        return ErrorCode::MalformedResponse;
    }
    size_t versionAt = static_cast<size_t>(firmwareEnd - payload.begin()) + 1;
    info.firmwareName.assign(payload.begin(), firmwareEnd);
    info.firmwareVersion = uint16At(payload, versionAt);
    info.boardName.assign(boardBegin, boardEnd);
    info.boardVersion = rest == 0 ? 0 : boardEnd[1];
    if (rest != 0) {
        std::copy_n(boardEnd + 2, Protocol::BoardIdSize, info.boardId.begin());
    }
    return ErrorCode::Success;
}

ErrorCode Parser::scratchpadGet(uint8_t address, uint8_t index, int32_t& value) {
    std::string const& boardName = names.at(address);
    int32_t const given = value;
    Trace const trace([&boardName, index, given] {
        return String::format("scratchpadGet(%s, %d, %d)", boardName.c_str(), index, given);
    });
    std::vector<uint8_t> payload;
    ErrorCode result = query(Packet(address, Packet::Command::Misc, Protocol::Misc::Scratchpad,
                                    {Protocol::Scratchpad::Read, index}),
                             trace, 4, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = int32At(payload, 0);
    log(Log::Level::Debug, "scratchpad: [0x%08x]", static_cast<uint32_t>(value));
    return ErrorCode::Success;
}

ErrorCode Parser::scratchpadSet(uint8_t address, uint8_t index, int32_t& value) {
    std::string const& boardName = names.at(address);
    int32_t const given = value;
    Trace const trace([&boardName, index, given] {
        return String::format("scratchpadSet(%s, %d, %d)", boardName.c_str(), index, given);
    });
    std::vector<uint8_t> request{Protocol::Scratchpad::Write, index};
    uint32Append(request, static_cast<uint32_t>(value));
    std::vector<uint8_t> echo;
    ErrorCode result =
        query(Packet(address, Packet::Command::Misc, Protocol::Misc::Scratchpad, request), trace, 4,
              ShortReply::Warned, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = int32At(echo, 0);
    log(Log::Level::Debug, "scratchpad: %d", value);
    return ErrorCode::Success;
}

ErrorCode Parser::scratchpadClear(uint8_t address) {
    std::string const& boardName = names.at(address);
    Trace const trace(
        [&boardName] { return String::format("scratchpadClear(%s)", boardName.c_str()); });
    std::vector<uint8_t> reply;
    return query(Packet(address, Packet::Command::Misc, Protocol::Misc::Scratchpad,
                        {Protocol::Scratchpad::Erase}),
                 trace, 0, ShortReply::Quiet, reply);
}

ErrorCode Parser::lightPatternPlay(uint8_t address, uint8_t slot,
                                   std::vector<Light::PatternStep> const& steps, uint8_t repeat) {
    Trace const trace(String::format("lightPlayPattern %d", slot));
    // The count byte could not describe a longer pattern.
    if (steps.size() > Protocol::PatternStepsMax) {
        log(Log::Level::Warning, "%s : %zu steps, at most %zu fit one pattern", trace.c_str(),
            steps.size(), Protocol::PatternStepsMax);
        return ErrorCode::MalformedRequest;
    }
    std::vector<uint8_t> request{static_cast<uint8_t>(steps.size()), repeat};
    for (Light::PatternStep const& step : steps) {
        request.insert(request.end(),
                       {step.b, step.g, step.r, step.transition ? uint8_t{1} : uint8_t{0}});
        uint32Append(request, step.duration);
    }
    logTrace(Log::Level::Info, trace);
    std::vector<uint8_t> reply;
    return exchange(Packet(address, Packet::Command::Misc, slot, request), valueExchange, trace,
                    reply);
}

Statistics Parser::getBusStatistics() const {
    // Summed under the lock: a copy of every command's and slot's counters
    // held it, and cost each get of the tree, for the same figures.
    CheckedLock lock(statisticsMutex);
    return statistics.summed();
}

} // namespace velt::ZRV480::Bus
