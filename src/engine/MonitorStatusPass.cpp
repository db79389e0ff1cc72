#include "engine/Monitor.h"

#include "bus/Packet.h"
#include "bus/Parser.h"

#include <bitset>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Packet;
using Bus::Common::ErrorCode;

namespace {

// Slot 8 of a board reports this while a battery is being detected; it is
// no status change and is not kept.
constexpr uint8_t BatterySlot = 8;
char const* const BatteryDetect = "BATTERY DETECT";

constexpr uint16_t CriticalCode = 0x80;

} // namespace

void Monitor::cacheHeartbeat(uint8_t address) {
    log(Log::Level::Debug, "cacheHeartbeat(%s)", boards.at(address).getName().c_str());
    uint32_t uptime = 0;
    ErrorCode const code = parser.heartbeat(address, uptime);
    state.with([&](EngineState& s) { s.boardCaches.at(address).heartbeat = {code, uptime}; });
}

void Monitor::cacheSlot0Status(uint8_t address) {
    std::string const& boardName = boards.at(address).getName();
    log(Log::Level::Debug, "cacheSlot0Status(%s)", boardName.c_str());
    std::bitset<32> statusBits;
    std::bitset<32> errors;
    ErrorCode const code =
        parser.slot0StatusGet(Packet(address, Packet::Command::Status, 0, {}), statusBits, errors);
    if (code == ErrorCode::Success) {
        if (errors[0]) {
            log(Log::Level::Warning, "Fatal error detected on %s (0x%08x)", boardName.c_str(),
                static_cast<unsigned>(errors.to_ulong()));
        }
        if (statusBits[0]) {
            log(Log::Level::Warning, "Fatal status detected on %s (0x%08x)", boardName.c_str(),
                static_cast<unsigned>(statusBits.to_ulong()));
        }
    }
    state.with([&](EngineState& s) {
        s.boardCaches.at(address).statusSlot0 = {code, {statusBits, errors}};
    });
}

void Monitor::handleBoardStatus(uint8_t address) {
    Bus::Board const& board = boards.at(address);
    log(Log::Level::Debug, "handleBoardStatus(%s)", board.getName().c_str());
    cacheSlot0Status(address);

    std::bitset<32> statusBits;
    std::bitset<32> errors;
    bool scanned;
    bool firmwareOk;
    state.with([&](EngineState const& s) {
        BoardCache const& cache = s.boardCaches.at(address);
        statusBits = cache.statusSlot0.second.first;
        errors = cache.statusSlot0.second.second;
        scanned = cache.statusScanned;
        firmwareOk = cache.firmwareOk;
    });
    // A slot flagged at the previous pass is read once more after it clears.
    uint64_t const mask = board.getStatusMask();
    uint64_t const flagged =
        (statusBits | errors | prevStatusBits.at(address) | prevErrorBits.at(address)).to_ulong();
    uint64_t const toRead = (scanned ? flagged : 0xFFFFFFFFu) & mask;
    bool const readAll = !firmwareOk && !phases.starting;
    auto const& slots = board.getStatuses();
    for (unsigned bit = 0; bit < 32; ++bit) {
        bool const wanted = ((toRead >> bit) & 1) != 0 || (readAll && ((mask >> bit) & 1) != 0);
        // The mask marks slot numbers modulo 64: a bit may name a slot the
        // board does not have.
        if (wanted && slots.count(static_cast<uint8_t>(bit)) != 0) {
            cacheSlotNStatus(address, static_cast<uint8_t>(bit));
        }
    }

    prevStatusBits.at(address) = statusBits;
    prevErrorBits.at(address) = errors;
    state.with([&](EngineState& s) { s.boardCaches.at(address).statusScanned = true; });
}

void Monitor::cacheSlotNStatus(uint8_t address, uint8_t slot) {
    Bus::Board const& board = boards.at(address);
    std::string const& boardName = board.getName();
    log(Log::Level::Debug, "cacheSlotNStatus(%s, %d)", boardName.c_str(), slot);
    Signal<>& signal = events.statusSignals.at(address).at(slot);

    std::pair<uint8_t, std::string> reply{0, ""};
    ErrorCode const code =
        parser.slotNStatusGet(Packet(address, Packet::Command::Status, slot, {}), reply);
    if (slot == BatterySlot && reply.second == BatteryDetect) {
        return;
    }

    uint16_t remembered;
    state.with([&](EngineState& s) {
        auto& entry = s.boardCaches.at(address).statuses.at(slot);
        remembered = entry.second.first;
        entry = {code, {reply.first, reply.second}};
    });
    std::string const& statusName = board.getStatuses().at(slot);
    bool const changed = reply.first != remembered;
    if (changed) {
        bool const critical = reply.first >= CriticalCode;
        log(critical ? Log::Level::Warning : Log::Level::Info,
            critical ? "Critical error on %s: %s: %s (0x%02x)"
                     : "Status changed on %s: %s: %s (0x%02x)",
            boardName.c_str(), statusName.c_str(), reply.second.c_str(), reply.first);
    }
    if ((changed && code == ErrorCode::Success) || phases.starting) {
        signal.emit();
        events.slotNStatusChanged.emit(boardName + "/status/" + statusName);
    }
}

} // namespace velt::ZRV480::BoardManager::Manager
