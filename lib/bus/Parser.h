#pragma once

#include "bus/Driver.h"
#include "bus/ErrorCode.h"
#include "bus/Packet.h"
#include "bus/Statistics.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Commands' includes (see Parser<Area>.cpp)
// End of commands' includes

namespace velt::ZRV480::Bus {

// The bus command layer: one request/reply transaction at a time, replies
// paired with requests by an 8-bit sequence number, retries within limits,
// and an online flag for the bus and for every board.
//
// Lock order: otaMutex or fileMutex (try-lock only), then sendMutex, then
// pendingMutex; configMutex and statisticsMutex are leaves. The listener
// thread takes the lock of Driver::dataReceived, then pendingMutex.
class Parser : public Logger {
public:
    // Request defaults; both 0 until the owner sets them.
    struct Config {
        int64_t udpTimeoutMs = 0; // time-out of a request that names none
        uint64_t retransmit = 0;  // further attempts of a retried request
    };

    Signal<uint8_t, float> firmwareUpgradeProgress; // board address, percent
    Signal<float> fileTransmitProgress;             // percent
    Signal<float> fileReceiveProgress;              // percent

    // `names` maps every board's bus address (0, the main board, included)
    // to its name. Every board and the bus start offline, broadcast online.
    explicit Parser(std::map<uint8_t, std::string> names);
    ~Parser() override;

    Parser(Parser const&) = delete;
    Parser& operator=(Parser const&) = delete;

    Config configGet() const;
    void configSet(Config const& config);
    nlohmann::json socketConfigGet() const;
    // Merges the "socket" settings and restarts the transport. Throws
    // std::invalid_argument for a bad part (nothing changes) and
    // std::runtime_error when the socket cannot be made.
    void socketConfigSet(nlohmann::json const& settings);
    // False while the bus is offline; throws std::out_of_range for an
    // address the parser does not know.
    bool isOnline(uint8_t address) const;

    // Start and stop are called by the one owner that controls the parser.
    void start();
    void stop();
    void restart();

    // Sends `request` with the next sequence number and waits for its reply,
    // repeating within the limits when `retry` is set. On Success `reply`
    // holds the received frame; otherwise it is left as given. A `timeout`
    // of 0 means Config::udpTimeoutMs.
    Common::ErrorCode send(Packet const& request, Packet& reply, bool retry,
                           std::chrono::milliseconds timeout);
    // Slot on Driver::dataReceived; runs on the listener thread.
    void onSocketData(std::vector<uint8_t> const& bytes);

    // Commands (see Parser<Area>.cpp)
    // End of commands

private:
    using Handler = std::function<void(Packet const&, Common::ErrorCode)>;

    // "broadcast" for 255, else the board's name; throws std::out_of_range
    // for an unknown address.
    std::string nameOf(uint8_t address) const;
    // The online bookkeeping at the end of a request; `requestText` is the
    // request's datagram as log text.
    void updateOnline(uint8_t address, Common::ErrorCode result, std::string const& requestText);

    std::shared_ptr<Driver> driver;

    std::mutex sendMutex; // one transaction on the bus at a time
    std::mutex otaMutex;  // held by a firmware upload for its whole run
    std::mutex fileMutex; // held by a main-board file operation for its whole run
    std::mutex pendingMutex;
    mutable std::mutex configMutex;
    mutable std::mutex statisticsMutex;

    // The number the next request takes. Written under sendMutex; atomic
    // because the listener reads it to recognise late replies.
    std::atomic<uint8_t> sequence{0};
    // The handler of the attempt in flight. Guarded by pendingMutex.
    std::map<uint8_t, Handler> pending;
    // Address to online flag; entry 0 stands for the whole bus. The entries
    // are fixed at construction; the flags are written under sendMutex and
    // read without a lock, hence atomic.
    std::map<uint8_t, std::atomic<bool>> online;
    std::map<uint8_t, std::string> const names;
    Config config; // guarded by configMutex
    // The last file opened on the main board. Guarded by fileMutex.
    std::shared_ptr<std::pair<std::string, int>> openFile;
    std::atomic<bool> running{false};
    Statistics statistics; // guarded by statisticsMutex
};

} // namespace velt::ZRV480::Bus
