#pragma once

#include "bus/ErrorCode.h"
#include "bus/Packet.h"
#include "bus/SlotType.h"
#include "bus/Statistics.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Log.h"
#include "foundation/LogThrottle.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"
#include "foundation/ThreadSafety.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velt::ZRV480::Bus {
class Board;
class Driver;
class Trace;
struct BusReport;
namespace ValueObjects {
struct BoardInfo;
struct Color;
namespace Bootloader {
class Flags;
class Status;
} // namespace Bootloader
} // namespace ValueObjects
namespace Light {
struct PatternStep;
} // namespace Light
} // namespace velt::ZRV480::Bus

namespace velt::ZRV480::Bus {

// The bus command layer: one request/reply transaction at a time, replies
// paired with requests by an 8-bit sequence number, retries within limits,
// and an online flag for the bus and for every board.
//
// Lock order: otaMutex or fileMutex (try-lock only), then sendMutex, then the
// driver's receive lock (a Driver::Reader), then the lock of
// Driver::dataReceived, then pendingMutex; configMutex and statisticsMutex are
// leaves. The thread that reads the socket (the listener, or the request in
// flight through its Reader) takes the lock of Driver::dataReceived, then
// pendingMutex.
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
    // The result of the calling thread's last request that went on the wire
    // and left its target or the bus offline, since the thread last asked;
    // nothing when none did. A request held back by the online rules never
    // counts, so a caller can tell its own drop-out from a request that
    // another thread's failure kept at home.
    std::optional<Common::ErrorCode> takeDropOut() const;

    // Start and stop are called by the one owner that controls the parser.
    void start();
    // Also ends every request at once with Timeout, uncounted and without
    // online bookkeeping: the one waiting for its reply and those waiting
    // for their turn.
    void stop();
    void restart();
    // False while the transport is stopped, also when it stopped itself
    // after receive errors; restart brings it back.
    bool isTransportRunning() const;

    // Sends `request` with the next sequence number and waits for its reply,
    // repeating within the limits when `retry` is set. On Success `reply`
    // holds the received frame; otherwise it is left as given. A `timeout`
    // of 0 means Config::udpTimeoutMs. Timeout at once while stopped.
    Common::ErrorCode send(Packet const& request, Packet& reply, bool retry,
                           std::chrono::milliseconds timeout);
    // Slot on Driver::dataReceived; runs on the thread that reads the
    // socket: the request in flight itself, or the listener while none is.
    void onSocketData(std::vector<uint8_t> const& bytes);

    // Commands, implemented in Parser<Area>.cpp by area.
    //
    // Each command logs its trace line, sends one request at a time through
    // send() and returns its ErrorCode; values travel through the references,
    // which keep what they held unless the command succeeds (or its comment
    // says otherwise). A board-addressed command throws std::out_of_range for
    // an address without a name, before anything is sent.

    // Basic board commands (ParserBoard.cpp).
    // A failed heartbeat sets `uptime` to 0.
    Common::ErrorCode heartbeat(uint8_t address, uint32_t& uptime);
    Common::ErrorCode boardAction(uint8_t address, uint8_t action);
    Common::ErrorCode boardReboot(uint8_t address);
    Common::ErrorCode boardRestoreDefaults(uint8_t address);
    Common::ErrorCode broadcastReboot();
    Common::ErrorCode broadcastRestoreDefaults();
    Common::ErrorCode broadcastHeartbeat();

    // Slot values (ParserSlots.cpp). Readers send `request` as it is; writers
    // send the address, command and slot of `target` with the encoded value,
    // and leave in their reference what the board echoed.
    Common::ErrorCode int32Get(Packet const& request, int32_t& value);
    Common::ErrorCode doubleGet(Packet const& request, uint8_t multiplier, double& value);
    Common::ErrorCode boolGet(Packet const& request, bool& value);
    Common::ErrorCode enumGet(Packet const& request, int32_t& value);
    Common::ErrorCode int32Set(Packet const& target, int32_t& value);
    // InvalidParameter, sending nothing, when value × multiplier is not a
    // finite number within the signed 32-bit range.
    Common::ErrorCode doubleSet(Packet const& target, uint8_t multiplier, double& value);
    Common::ErrorCode boolSet(Packet const& target, bool& value);
    Common::ErrorCode enumSet(Packet const& target, int32_t index);
    // Writes with the transition flag; afterwards the reference holds the
    // echo, or the requested value when the write failed.
    Common::ErrorCode lightTransitionColor(uint8_t address, uint8_t slot,
                                           ValueObjects::Color& colour);
    Common::ErrorCode lightTransitionValue(uint8_t address, uint8_t slot, uint8_t& value);
    Common::ErrorCode slot0StatusGet(Packet const& request, std::bitset<32>& status,
                                     std::bitset<32>& errors);
    Common::ErrorCode slotNStatusGet(Packet const& request,
                                     std::pair<uint8_t, std::string>& status);
    // Writes a configuration slot of `board` by its type; `value` then holds
    // the echo (or the requested value after a failed write) in the type's
    // JSON form. A value that does not fit the slot gives InvalidParameter
    // and is not sent. Expects a value that configValueMatchesType accepts.
    Common::ErrorCode boardConfigSet(uint8_t address, uint8_t slot, SlotType type,
                                     nlohmann::json& value, Board const& board);
    // Success when the kind of `value` fits `type`, else InvalidParameter.
    static Common::ErrorCode configValueMatchesType(SlotType type, nlohmann::json const& value);
    // Success when boardConfigSet would send `value` to the board's slot:
    // of the slot's kind, a number that fits 32 bits (a Double's once
    // multiplied), a name of the slot's enumeration. Otherwise what it
    // answers without sending: BusInvalidSlot, InvalidParameter, or
    // BusInvalidValue for a name the enumeration lacks.
    static Common::ErrorCode configValueFits(Board const& board, uint8_t slot,
                                             nlohmann::json const& value);

    // Board information, scratchpad and light patterns (ParserInfo.cpp).
    Common::ErrorCode boardInfoGet(uint8_t address, ValueObjects::BoardInfo& info);
    Common::ErrorCode scratchpadGet(uint8_t address, uint8_t index, int32_t& value);
    Common::ErrorCode scratchpadSet(uint8_t address, uint8_t index, int32_t& value);
    Common::ErrorCode scratchpadClear(uint8_t address);
    // MalformedRequest, sending nothing, for more than 255 steps.
    Common::ErrorCode lightPatternPlay(uint8_t address, uint8_t slot,
                                       std::vector<Light::PatternStep> const& steps,
                                       uint8_t repeat);
    // The counters summed per board (see Statistics::summed).
    Statistics getBusStatistics() const;

    // Main board (ParserMain.cpp). Setters leave the echo in their references.
    Common::ErrorCode mainTimestampGet(int32_t& timestamp);
    Common::ErrorCode mainTimestampSet(int32_t& timestamp);
    Common::ErrorCode mainNetworkStatusGet(bool& link, std::array<uint8_t, 6>& mac,
                                           std::array<uint8_t, 4>& ip);
    Common::ErrorCode mainNetworkBoardServerGet(uint16_t& port);
    Common::ErrorCode mainNetworkBoardServerSet(uint16_t& port);
    Common::ErrorCode mainNetworkDhcpGet(bool& dhcp);
    Common::ErrorCode mainNetworkDhcpSet(bool& dhcp);
    Common::ErrorCode mainNetworkIpGet(std::array<uint8_t, 4>& ip, std::array<uint8_t, 4>& netmask,
                                       std::array<uint8_t, 4>& gateway);
    Common::ErrorCode mainNetworkIpSet(std::array<uint8_t, 4>& ip, std::array<uint8_t, 4>& netmask,
                                       std::array<uint8_t, 4>& gateway);
    Common::ErrorCode mainNetworkDnsGet(std::array<uint8_t, 4>& dns);
    Common::ErrorCode mainNetworkDnsSet(std::array<uint8_t, 4>& dns);
    Common::ErrorCode mainBusStatisticsGet(BusReport& report);
    // The secrets below never reach the log. A hash of another length than
    // 64, or a text holding a zero byte, gives MalformedRequest unsent.
    Common::ErrorCode mainSecurityPreAuth(std::string const& passwordHash, std::string const& salt);
    Common::ErrorCode mainSecurityPreAuthCancel();
    Common::ErrorCode mainSecurityDisarm(std::string const& password, bool& disarmed);

    // Main-board files (ParserFiles.cpp). The four operations run one at a
    // time (FileLimit at once while one runs); a name holding a zero byte
    // gives MalformedRequest unsent. mainFileOpen is called only by them.
    Common::ErrorCode mainFileOpen(std::string const& name, uint8_t& handle) REQUIRES(fileMutex);
    // With `open` false the handle that the last open of `name` left is reused.
    Common::ErrorCode mainFileTransmit(std::string const& name, std::vector<uint8_t> const& data,
                                       bool open);
    // After a failure `data` holds the segments read so far.
    Common::ErrorCode mainFileReceive(std::string const& name, std::vector<uint8_t>& data);
    Common::ErrorCode mainFileDelete(std::string const& name);
    Common::ErrorCode mainFileChecksum(std::string const& name, uint32_t& size,
                                       std::array<uint8_t, 16>& md5);

    // Firmware upload (ParserFirmware.cpp): one at a time on the whole bus
    // (OtaLimit at once while one runs); at most attempts + 1 passes.
    Common::ErrorCode boardOtaFirmwareUpgradeExecute(uint8_t address,
                                                     std::vector<uint8_t> const& image,
                                                     uint8_t attempts);

    // Bootloader (ParserBootloader.cpp). The words are read with the tables
    // of the board's address: the SD tables for 0, the flash tables else.
    Common::ErrorCode bootloaderStatusGet(uint8_t address,
                                          ValueObjects::Bootloader::Status& status);
    Common::ErrorCode bootloaderFlagsGet(uint8_t address, ValueObjects::Bootloader::Flags& flags);
    // Encodes `flags` by the names of the board's table; afterwards it holds
    // the word the board answered.
    Common::ErrorCode bootloaderFlagsSet(uint8_t address, ValueObjects::Bootloader::Flags& flags);
    Common::ErrorCode boardBootloaderFlagsSet(uint8_t address,
                                              ValueObjects::Bootloader::Flags& flags);

private:
    // How a command's request travels and how its failure is logged.
    struct Exchange {
        bool retry;
        std::chrono::milliseconds timeout; // 0: Config::udpTimeoutMs
        Log::Level failureLevel;           // of the "%s : %s" line
        // Timeout and BusTimeout go unlogged: a transfer pass restarts on them.
        bool quietTimeouts;
    };
    static const Exchange valueExchange;    // reads and writes of values
    static const Exchange fileExchange;     // file open, delete, checksum
    static const Exchange filePassExchange; // segments of a file transfer
    static const Exchange otaPassExchange;  // segments of a firmware upload

    // Sends `request` as `how` says; on Success `payload` is the reply's.
    Common::ErrorCode exchange(Packet const& request, Exchange const& how, Trace const& trace,
                               std::vector<uint8_t>& payload);
    // The line "<trace>", or "<trace> : <result>", at `level`; the trace's
    // text is made only when the line shows.
    void logTrace(Log::Level level, Trace const& trace) const;
    void logTrace(Log::Level level, Trace const& trace, Common::ErrorCode result) const;
    // Whether a reply too short to decode is worth the warning "MalformedResponse".
    enum class ShortReply { Quiet, Warned };
    // The trace line at debug, then a value exchange whose reply must carry
    // `minimum` payload bytes; a shorter one gives MalformedResponse.
    Common::ErrorCode query(Packet const& request, Trace const& trace, size_t minimum,
                            ShortReply shortReply, std::vector<uint8_t>& payload);
    // Runs `pass` until it ends with anything but Timeout or BusTimeout, at
    // most restarts + 1 times, and never again after a stop; then the result
    // is Timeout.
    Common::ErrorCode transferPasses(uint64_t restarts, char const* retryText, char const* stopText,
                                     std::function<Common::ErrorCode()> const& pass);
    struct FileReply {
        Common::ErrorCode sent;   // of the exchange: Success when a reply came back
        Common::ErrorCode result; // the file result the reply carries, once sent
    };
    // One request of a file operation; the reply's payload in `payload`.
    FileReply fileRequest(std::vector<uint8_t> const& request, Exchange const& how,
                          Trace const& trace, std::vector<uint8_t>& payload);
    Common::ErrorCode fileTransmitPass(uint8_t handle, Trace const& trace,
                                       std::vector<uint8_t> const& header,
                                       std::vector<uint8_t> const& data, uint16_t count);
    Common::ErrorCode fileReceivePass(uint8_t handle, std::string const& name, Trace const& trace,
                                      std::vector<uint8_t>& data);
    // Opens `name` and sends one request by handle (delete, checksum).
    Common::ErrorCode fileHandleRequest(std::string const& name, Trace const& trace,
                                        uint8_t subCommand, char const* what,
                                        std::vector<uint8_t>& payload) REQUIRES(fileMutex);
    Common::ErrorCode firmwarePass(uint8_t address, Trace const& trace,
                                   std::vector<uint8_t> const& header,
                                   std::vector<uint8_t> const& image, uint16_t count);
    // The attempt in flight: the sequence number it waits for and, once a
    // datagram with that number came, its result and frame.
    struct Waiting {
        bool active = false;
        uint8_t sequence = 0;
        bool answered = false;
        Common::ErrorCode code = Common::ErrorCode::Success;
        Packet* frame = nullptr; // the attempt's, where the reply goes
    };

    // One request on its way: what every attempt sends and waits for.
    struct Transaction {
        Packet const& request;
        uint8_t sequence;
        std::vector<uint8_t> datagram;
        std::string logText; // of the datagram; empty while debug lines are off
        int64_t timeoutMs;
    };

    // How a request or one of its attempts ended. A stop that ends it makes
    // it `stopped`, with the result Timeout: then it counts nowhere.
    struct Outcome {
        Common::ErrorCode result;
        bool stopped;
    };

    // The online check before a request: false, with the warning, for a
    // request that may not go out.
    bool admits(Packet const& request) const;
    // Attempts until one ends with a result that is not repeated, at most
    // `attempts` times, or until a stop; counts every attempt that a stop
    // did not end in the statistics.
    Outcome attemptUpTo(uint64_t attempts, Transaction const& transaction, Packet& received)
        REQUIRES(sendMutex);
    // Sends the datagram once and waits for the reply of its sequence number;
    // on Success `received` holds it.
    Outcome attemptOnce(Transaction const& transaction, uint64_t attempt, Packet& received)
        REQUIRES(sendMutex);
    // How the wait of an attempt ended.
    enum class Arrival { Answered, Deadline, SocketGone };
    // Transmits the attempt's datagram and reads the socket until its reply
    // comes, the deadline passes or the socket goes away; the deadline
    // counts from the transmission.
    Arrival transmitAndReceive(Transaction const& transaction,
                               std::chrono::steady_clock::time_point& deadline) REQUIRES(sendMutex);
    // Wakes the attempt in flight, if any, as ended by a stop.
    void wakeWaiting();
    // "broadcast" for 255, else the board's name; throws std::out_of_range
    // for an unknown address.
    std::string nameOf(uint8_t address) const;
    // The online bookkeeping at the end of the request sent with `seq`.
    void updateOnline(Packet const& request, uint8_t seq, Common::ErrorCode result)
        REQUIRES(sendMutex);
    // Sets the request's target offline, with the warning when it was online.
    void takeOffline(Packet const& request, uint8_t seq, Common::ErrorCode result)
        REQUIRES(sendMutex);

    std::shared_ptr<Driver> driver;

    CheckedMutex sendMutex; // one transaction on the bus at a time
    // Try-locked by a firmware upload and held for its whole run; the passes
    // it runs (lambdas of transferPasses) guard nothing by it.
    CheckedMutex otaMutex;
    // Try-locked by a main-board file operation and held for its whole run.
    CheckedMutex fileMutex;
    CheckedMutex pendingMutex;
    // Wakes an attempt whose socket went away and that waits out its time-out.
    std::condition_variable stopped;
    mutable CheckedMutex configMutex;
    mutable CheckedMutex statisticsMutex;

    // The number the next request takes. Written under sendMutex; atomic
    // because the listener reads it to recognise late replies (without the
    // lock, so it names none).
    std::atomic<uint8_t> sequence{0};
    // The attempt in flight.
    Waiting pending GUARDED_BY(pendingMutex);
    // Every received datagram is parsed here, so that its buffer is reused.
    Packet incoming GUARDED_BY(pendingMutex);
    // How many stops woke the waiting attempts; an attempt that sees it grow
    // was ended by a stop.
    uint64_t stops GUARDED_BY(pendingMutex) = 0;
    // Address to online flag; entry 0 stands for the whole bus. The entries
    // are fixed at construction; the flags are written under sendMutex and
    // read without a lock, hence atomic.
    std::map<uint8_t, std::atomic<bool>> online;
    std::map<uint8_t, std::string> const names;
    Config config GUARDED_BY(configMutex);
    // The last file opened on the main board.
    std::shared_ptr<std::pair<std::string, int>> openFile GUARDED_BY(fileMutex);
    // Cleared by stop before it wakes the waiting attempts; read under
    // pendingMutex before an attempt waits, so none can miss the wake.
    std::atomic<bool> running{false};
    Statistics statistics GUARDED_BY(statisticsMutex);
    // Lines that a flood of datagrams could repeat, one throttle each.
    LogThrottle shortDatagramLines;
    LogThrottle unparsableLines;
    LogThrottle unexpectedSequenceLines;
};

} // namespace velt::ZRV480::Bus
