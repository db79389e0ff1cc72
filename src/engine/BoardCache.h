#pragma once

#include "bus/Board.h"
#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/BusReport.h"
#include "bus/ErrorCode.h"
#include "bus/Flags.h"

#include <nlohmann/json.hpp>

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

// The engine's copy of what one board last reported. Every value is paired
// with the ErrorCode of the read or write that produced it; the value means
// something only while the code is Success. A plain value: the engine reads
// and writes the fields directly, under its own lock.
class BoardCache {
public:
    using ErrorCode = Bus::Common::ErrorCode;
    using Ip = std::array<uint8_t, 4>;
    using Mac = std::array<uint8_t, 6>;
    template <typename T> using Entry = std::pair<ErrorCode, T>;

    // A placeholder for a map entry before the board's cache is assigned.
    BoardCache();
    // One entry per status (slot 0 included), telemetry and configuration slot.
    explicit BoardCache(Bus::Board const& board);
    BoardCache(BoardCache const&) = default;
    BoardCache& operator=(BoardCache const&) = default;
    BoardCache(BoardCache&&) = default;
    BoardCache& operator=(BoardCache&&) = default;
    virtual ~BoardCache();

    // Initialisation state.
    bool firmwareOk = false;    // reported firmware version is the expected one
    bool initialized = false;   // initialised (or found with another firmware)
    bool statusScanned = false; // at least one status pass ran
    uint32_t initAttempts = 0;
    bool configLoaded = false; // its configuration was loaded once in this run

    // Main board only; filled in the cache of address 0. Like every other
    // entry, Timeout until the first read.
    Entry<std::tuple<Ip, Ip, Ip>> mainNetworkIp{ErrorCode::Timeout, {}}; // ip, netmask, gateway
    Entry<std::tuple<bool, Mac, Ip>> mainNetworkStatus{ErrorCode::Timeout, {}}; // link, MAC, ip
    Entry<Ip> mainNetworkDns{ErrorCode::Timeout, {}};
    Entry<bool> mainNetworkDhcp{ErrorCode::Timeout, false};
    Entry<uint16_t> mainNetworkBoardServer{ErrorCode::Timeout, 0};
    Entry<Bus::BusReport> mainBusStatistics{ErrorCode::Timeout, {}};

    Entry<uint32_t> heartbeat{ErrorCode::Timeout, 0}; // uptime
    Entry<int32_t> mainTimestamp{ErrorCode::Timeout, 0};
    // Status bits and error bits of status slot 0.
    Entry<std::pair<std::bitset<32>, std::bitset<32>>> statusSlot0{ErrorCode::Timeout, {}};
    // Status slot -> (status code, text); slot 0 has an entry that no read fills.
    std::map<uint8_t, Entry<std::pair<uint16_t, std::string>>> statuses;
    std::map<uint8_t, Entry<nlohmann::json>> telemetries;
    std::map<uint8_t, Entry<nlohmann::json>> configs;
    Entry<Bus::ValueObjects::BoardInfo> boardInfo{ErrorCode::Timeout, {}};
    Entry<Bus::ValueObjects::Bootloader::Flags> bootloaderFlags{ErrorCode::Timeout, {}};
    Entry<Bus::ValueObjects::Bootloader::Status> bootloaderStatus{ErrorCode::Timeout, {}};
};

} // namespace velt::ZRV480::BoardManager::Manager
