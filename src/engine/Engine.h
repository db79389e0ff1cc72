#pragma once

// The manager engine: owns the bus command layer and one cache per board,
// brings the boards up, keeps the caches fresh from its monitoring thread and
// carries out every action on the boards. It knows nothing of MQTT: the layers
// above learn of events through its signals.
//
// Threads that call in: main (construction, configuration sections, start),
// the signal thread (stop), monitoring (firmware run, then the monitoring
// loop), the MQTT library's threads (getters, setters, actions, reboots,
// firmware apply, "device" writes that ask for a monitoring restart), the
// restart thread (joins and relaunches the monitoring thread), the reboot
// poll thread, and detached workers (file transfers, manual upgrades).
//
// A stop always wins: stop clears `running` and stops the bus layer first,
// so that the request in flight ends, every later one fails at once and
// every step of a start, a firmware run, a restart or a synchronous reboot
// ends at its next check of `running`; the pauses wait on the monitor's wake-up
// and end at once too. Only then does stop wait for the start's steps and join
// the restart and monitoring threads.
//
// Locks, in the order they may be taken; each is a CheckedMutex and the
// fields it guards are declared GUARDED_BY it, so clang's thread-safety
// analysis checks every access:
// 1. lifecycleMutex guards the phases of start and stop (startBusy,
//    stopBusy), the restart requests and the restart thread's handle, and
//    is held across every launch of the monitoring thread; it is held
//    only for these fields, never across a join, a wait for another thread's
//    steps or a signal emission. It is held across Parser::start and
//    Parser::stop so that the two never overlap (they start and join the bus
//    listener, which takes no engine lock). A "device" write only asks for a
//    restart; the restart thread joins and relaunches the monitoring thread,
//    so no caller of setDeviceConfig waits for a batch or a firmware run.
//    stop refuses on the monitoring thread, so no thread is joined by
//    itself. The monitoring loop runs until monitor.endLoop; `running`
//    says whether the engine is started and stays set across a restart.
// 2. FirmwareUpgrades::reportFileMutex serialises the writes of
//    "boards-state.json": a save takes it, copies the report out of `state`
//    and writes the copy.
// 3. `state` (a Guarded<EngineState>) holds the caches, the settings, the
//    report, the manager status, the monitoring statistics, the selected
//    images, the service console version and the firmware directories,
//    reachable only through state.with under its own lock. That lock is a
//    leaf: held only to copy in or out and for in-memory updates, never
//    across a bus call, a signal emission, a sleep, a join, a file write or
//    a call into the layers above.
// 4. the monitor's waitMutex only for the wait between cycles, its
//    threadMutex only for the monitoring thread's handle (never across its
//    join), workersMutex (with workersIdle) only for the count of workers;
//    leaves.
//
// The accessors that other threads call return copies taken from `state`,
// never references into state the monitoring thread changes: getStatus,
// getBoardCache, getMonitorStatistics, firmwareUpgradeGet, and every cached
// getter copies its value out. References are handed out only to what never
// changes after construction: getBoards, getTelemetrySignals and
// getStatusSignals (the signal maps are built in place and never copied).
//
// Monitoring-only state (cursors, previous status words and heartbeats)
// lives in the Monitor; see Monitor.h.

#include "engine/BoardCache.h"
#include "engine/Config.h"
#include "engine/EngineState.h"
#include "engine/FirmwareUpgrades.h"
#include "engine/Firmwares.h"
#include "engine/Monitor.h"
#include "engine/MonitorStatistics.h"
#include "engine/Status.h"

#include "bus/Board.h"
#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/BusReport.h"
#include "bus/Color.h"
#include "bus/ErrorCode.h"
#include "bus/Firmware.h"
#include "bus/FirmwareHeader.h"
#include "bus/Flags.h"
#include "bus/PatternStep.h"
#include "bus/Schema.h"
#include "bus/SlotType.h"
#include "bus/Statistics.h"
#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Guarded.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velt::ZRV480::Bus {
class Packet;
class Parser;
} // namespace velt::ZRV480::Bus

namespace velt::ZRV480::BoardManager::Manager {

class Engine : public Logger {
public:
    using ErrorCode = Bus::Common::ErrorCode;
    using Board = Bus::Board;
    using BoardInfo = Bus::ValueObjects::BoardInfo;
    using Color = Bus::ValueObjects::Color;
    using Flags = Bus::ValueObjects::Bootloader::Flags;
    using BootloaderStatus = Bus::ValueObjects::Bootloader::Status;
    using Firmware = Bus::ValueObjects::Firmware;
    using FirmwareHeader = Bus::ValueObjects::FirmwareHeader;
    using PatternStep = Bus::Light::PatternStep;
    using Ip = std::array<uint8_t, 4>;
    using Mac = std::array<uint8_t, 6>;
    using Md5 = std::array<uint8_t, 16>;
    // Light configuration slot -> (steps, repeat count).
    using Patterns = std::map<uint8_t, std::pair<std::vector<PatternStep>, uint8_t>>;

    // Where the engine keeps its files. The defaults are the service's:
    // "boards-state.json", "firmwares" and the console's version file beside
    // the executable, the per-board configuration copies in shared memory.
    struct Paths {
        std::string appDir = defaultAppDir();
        std::string copiesDir = DefaultCopiesDir;

        static constexpr char const* DefaultCopiesDir = "/dev/shm/zrv480_board_manager";
        static std::string defaultAppDir();
    };

    // Scratchpad cell 4 holds this after every initialisation; anything else
    // read back there means the board rebooted since.
    static constexpr int32_t ScratchpadMarker = static_cast<int32_t>(0xDEADBEAF);
    static constexpr uint8_t ScratchpadCell = 4;

    // Events, emitted on the thread that does the work (see the lock notes).
    Signal<Status const&> statusChanged;
    Signal<std::string const> slotNStatusChanged; // "<board>/status/<status name>"
    Signal<uint8_t> boardOnline;
    Signal<uint8_t> boardOffline;
    Signal<> boardConfigChanged; // once per start, after every board was initialised
    // A value written through boardConfigSet, accepted by the board, is now
    // in the board's stored document (address).
    Signal<uint8_t> boardConfigStored;
    Signal<std::string const&> error;
    Signal<> stopped;
    Signal<uint8_t, float> firmwareUpgradeProgress; // address, percent
    Signal<uint8_t, ErrorCode> firmwareUpgradeFinished;
    Signal<float> fileTransmitProgress;
    Signal<ErrorCode> fileTransmitFinished;
    Signal<float> fileReceiveProgress;
    Signal<ErrorCode> fileReceiveFinished;

    // The schema must outlive the engine. Sends nothing on the bus.
    explicit Engine(Bus::Schema const& schema);
    Engine(Bus::Schema const& schema, Paths const& paths);
    ~Engine() override;
    Engine(Engine const&) = delete;
    Engine& operator=(Engine const&) = delete;

    // Start and stop (EngineLifecycle.cpp). Never called on the monitoring thread.
    void start() EXCLUDES(lifecycleMutex);
    void stop() EXCLUDES(lifecycleMutex);

    // Device and board configuration sections (EngineSections.cpp).
    nlohmann::json getDeviceConfig() const;
    // Throws for a transport that cannot be opened or an argument that is no object.
    void setDeviceConfig(nlohmann::json const& device);
    // Stored values first, then the cached ones of an initialised board. A
    // board's answer is remembered: where its values cannot be read later
    // (not initialised, offline, another firmware), the remembered ones are
    // answered, so that the file keeps them.
    nlohmann::json getBoardsConfig();
    void setBoardsConfig(nlohmann::json const& boards);

    // Cached board values (EngineValues.cpp). No bus traffic: 1 (Timeout)
    // when the cache is not initialised or the board or the main board is
    // offline, else the cached value with the code stored beside it. An
    // unknown address throws std::out_of_range.
    ErrorCode boardTelemetryGet(uint8_t address, uint8_t slot, nlohmann::json& value) const;
    ErrorCode boardConfigGet(uint8_t address, uint8_t slot, nlohmann::json& value) const;
    ErrorCode boardStatusSlot0Get(uint8_t address, std::map<uint8_t, bool>& status,
                                  std::map<uint8_t, bool>& errors) const;
    ErrorCode boardStatusSlotNGet(uint8_t address, uint8_t slot,
                                  std::pair<uint64_t, std::string>& status) const;
    ErrorCode boardUptimeGet(uint8_t address, uint32_t& uptime) const;
    // Address 200 answers the service console's fixed record.
    ErrorCode boardInfoGet(uint8_t address, BoardInfo& info) const;
    ErrorCode boardBootloaderFlagsGet(uint8_t address, Flags& flags) const;
    ErrorCode boardBootloaderStatusGet(uint8_t address, BootloaderStatus& status) const;

    // Board writes and commands (EngineValues.cpp). Writes cache the result
    // of what was sent; a value refused unsent changes no cache entry.
    // A configuration value the board accepts is also stored in the board's
    // document (boardConfigStored).
    ErrorCode boardConfigSet(uint8_t address, uint8_t slot, nlohmann::json& value);
    ErrorCode lightTransitionColor(uint8_t address, uint8_t slot, Color& colour);
    ErrorCode lightTransitionValue(uint8_t address, uint8_t slot, uint8_t& value);
    ErrorCode boardAction(uint8_t address, uint8_t action);
    ErrorCode boardRestoreDefaults(uint8_t address);
    ErrorCode lightPatternPlay(uint8_t address, uint8_t slot, std::vector<PatternStep> const& steps,
                               uint8_t repeat);
    // Plays every entry; the code of the last one that failed.
    ErrorCode lightPatternMultiPlay(uint8_t address, Patterns const& patterns);
    ErrorCode boardBootloaderFlagsSet(uint8_t address, Flags& flags);
    ErrorCode boardBootloaderFlagsReset(uint8_t address);

    // Main-board values and security (EngineMainBoard.cpp). Getters answer
    // from the main board's cache; setters write, then cache the echo.
    ErrorCode mainTimestampGet(int32_t& timestamp) const;
    ErrorCode mainNetworkStatusGet(bool& link, Mac& mac, Ip& ip) const;
    ErrorCode mainNetworkBoardServerGet(uint16_t& port) const;
    ErrorCode mainNetworkDhcpGet(bool& dhcp) const;
    ErrorCode mainNetworkIpGet(Ip& ip, Ip& netmask, Ip& gateway) const;
    ErrorCode mainBusStatisticsGet(Bus::BusReport& report) const;
    ErrorCode mainNetworkDnsGet(Ip& dns) const;
    ErrorCode mainTimestampSet(int32_t& timestamp);
    ErrorCode mainNetworkBoardServerSet(uint16_t& port);
    ErrorCode mainNetworkDhcpSet(bool& dhcp);
    ErrorCode mainNetworkIpSet(Ip& ip, Ip& netmask, Ip& gateway);
    ErrorCode mainNetworkDnsSet(Ip& dns);
    ErrorCode mainSecurityDisarm(std::string const& password, bool& disarmed);
    ErrorCode mainSecurityPreAuth(std::string const& passwordHash, std::string const& salt);
    ErrorCode mainSecurityPreAuthCancel();

    // Reboots, defaults, power (EngineReboot.cpp).
    bool poweredByMains() const;
    ErrorCode boardReboot(uint8_t address);
    // Reboots and waits up to 10 s for the board to answer again; 1 on time-out.
    ErrorCode boardRebootSync(uint8_t address);
    ErrorCode broadcastReboot();
    ErrorCode broadcastRestoreDefaults();
    ErrorCode broadcastHeartbeat();

    // Main-board file transfers (EngineFiles.cpp). The path forms answer at
    // once and report the outcome through the finished signals.
    ErrorCode mainFileTransmit(std::string const& localPath, std::string const& remoteName);
    ErrorCode mainFileReceive(std::string const& localPath, std::string const& remoteName);
    // Synchronous, on the caller's thread; no finished signal.
    ErrorCode mainFileTransmit(std::vector<uint8_t> const& bytes, std::string const& remoteName);
    ErrorCode mainFileDelete(std::string const& remoteName);
    ErrorCode mainFileChecksum(std::string const& remoteName, uint32_t& size, Md5& md5);

    // Firmware upgrade runs (FirmwareUpgrades, delegated in Engine.cpp).
    // Accepts or refuses at once; the upload runs on a worker.
    ErrorCode boardOtaFirmwareUpgrade(uint8_t address, std::string const& path, bool force);
    // Reboots every board with a report, the power-supply board last.
    ErrorCode firmwareUpgradeApply();

    // Accessors (Engine.cpp). See the lock notes for which are copies.
    Status getStatus() const;
    bool getIsActive() const;
    bool getIsRunning() const;
    Bus::Statistics getBusStatistics() const;
    std::map<uint8_t, Board> const& getBoards() const;
    std::map<uint8_t, Signal<>>& getTelemetrySignals(uint8_t address);
    std::map<uint8_t, Signal<>>& getStatusSignals(uint8_t address);
    Firmwares firmwareUpgradeGet() const;
    MonitorStatistics getMonitorStatistics() const;
    BoardCache getBoardCache(uint8_t address) const;

    // The operations below run inside the engine (start-up, monitoring thread,
    // workers). Those the tests, the monitor benchmark and the fuzzer reach
    // through a subclass are protected, with the fields; the rest is
    // private. Nothing else derives from Engine.
protected:
    // Initialisation (EngineInit.cpp).
    ErrorCode boardInitStartup(uint8_t address);
    ErrorCode boardInitEmergency(uint8_t address);
    // Start (EngineLifecycle.cpp): sends the schema to the main board unless
    // it has the same one, then reboots it.
    ErrorCode configure();
    // Stored board configurations (EngineBoardConfig.cpp).
    ErrorCode boardConfigCacheFromConfigFile(uint8_t address);
    ErrorCode boardConfigCacheApply(uint8_t address);
    // Per-board configuration copies (EngineCopies.cpp).
    bool boardConfigCacheTempFsCreate();
    ErrorCode boardConfigCacheFromTempfs(uint8_t address);
    ErrorCode boardConfigCacheTempFsRemove(uint8_t address);
    ErrorCode boardConfigCacheTempFsStore(uint8_t address);
    // Blocks until no worker is left.
    void waitForWorkers() EXCLUDES(workersMutex);

private:
    // Initialisation (EngineInit.cpp).
    void boardHadReboot(uint8_t address);
    void cacheBootloaderStatus(uint8_t address);
    void cacheBootloaderFlags(uint8_t address);
    // Clears the board's flags and counts the attempt; false when the
    // attempts since the last successful initialisation are used up.
    bool beginInitAttempt(uint8_t address);
    // Scratchpad cell 4 read back with another value than the marker: the
    // board rebooted, so what was planned for its firmware is forgotten.
    void checkRebootMarker(uint8_t address);
    // Nothing when the reported firmware is the expected one (firmwareOk
    // set); otherwise the initialisation's result, the board counted as
    // initialised.
    std::optional<ErrorCode> checkFirmwareVersion(uint8_t address);
    // Sets the main board's clock to the controller's.
    void setMainClock();
    // Writes the reboot marker into scratchpad cell 4; a failure is logged.
    ErrorCode writeRebootMarker(uint8_t address);
    // Writes the marker; on success the board is initialised and its
    // failed attempts are forgotten.
    ErrorCode finishInit(uint8_t address, char const* doneLine);
    // Brings the board's configuration into its cache: its own copy, or
    // without one the board's document of the configuration file; marks
    // the board's configuration loaded.
    void loadBoardConfig(uint8_t address);

    // Start and stop (EngineLifecycle.cpp).
    // A transport that stopped itself after receive errors is started anew.
    void reviveTransport() EXCLUDES(lifecycleMutex);
    void logBoardInfo() const;
    // The steps of start between bringing the bus up and launching the
    // monitoring thread; a stop ends them at the next step.
    void runStartSteps();
    // Under lifecycleMutex: has the monitor start its thread, with the
    // firmware phases before the loop or with the loop alone.
    void launchMonitorThread(bool withFirmwarePhases) REQUIRES(lifecycleMutex);
    // Asks the restart thread to restart the loop with the current settings
    // when the engine runs; returns at once.
    void requestMonitorRestart() EXCLUDES(lifecycleMutex);
    // The restart thread: joins and relaunches the monitoring thread on
    // every request until the engine stops.
    void runRestarts() EXCLUDES(lifecycleMutex);
    // Board value access (EngineValues.cpp).
    // Writes a configuration slot and caches the echo; stores nothing. A
    // value refused before it is sent leaves the cache as it was.
    ErrorCode writeBoardConfig(uint8_t address, uint8_t slot, nlohmann::json& value);
    // A light transition's checks: 105 for a slot the board lacks, then 100
    // for a board with another firmware.
    ErrorCode lightSlotUsable(uint8_t address, uint8_t slot) const;

    // Stored board configurations (EngineBoardConfig.cpp).
    // A configuration value read from a file, cached as the slot's when it
    // would be sent to the slot; else only the warning "Could not load
    // <what>: <reason>".
    void storeLoadedConfig(uint8_t address, uint8_t slot, nlohmann::json const& value,
                           std::string const& what);
    // The slot's value, as the board accepted it, into the board's stored document.
    void storeAcceptedConfig(uint8_t address, uint8_t slot, nlohmann::json const& value);

    // Per-board configuration copies (EngineCopies.cpp).
    // A real directory (no link) of this user, closed to group and others;
    // when it is not, logs a warning the first time only.
    bool copiesDirTrusted() const;
    // The whole copy, or nothing when it cannot be read or changed while read.
    std::optional<std::string> readCopy(std::string const& path) const;

    // State helpers (Engine.cpp).
    // Whether the board and the main board are online.
    bool isBoardOnline(uint8_t address) const;
    // The rules of every cached getter: Timeout when the board (or the main
    // board) is offline or, with `needsInit`, its cache is not initialised;
    // else `read` copies out under the state's lock and its code is returned.
    template <typename Read>
    ErrorCode answerFromCache(uint8_t address, bool needsInit, Read read) const {
        if (!isBoardOnline(address)) {
            return ErrorCode::Timeout;
        }
        return readCache(state, address, [&](BoardCache const& cache) {
            if (needsInit && !cache.initialized) {
                return ErrorCode::Timeout;
            }
            return read(cache);
        });
    }
    // A cached getter of one entry: under the rules above, its value into
    // `out` (a reference, or a std::tie of several) and its code returned.
    template <typename T, typename Out>
    ErrorCode getCached(uint8_t address, BoardCache::Entry<T> BoardCache::*entry, Out&& out) const {
        return answerFromCache(address, true, [&](BoardCache const& cache) {
            out = (cache.*entry).second;
            return (cache.*entry).first;
        });
    }
    // The end of a setter: caches what the write left in its references (the
    // echo, or the requested value when it failed) beside `code`, which it
    // returns. `echo` is read here, after the write that `code` comes from.
    template <typename T, typename Echo>
    ErrorCode cacheEcho(uint8_t address, BoardCache::Entry<T> BoardCache::*entry, ErrorCode code,
                        Echo const& echo) {
        state.with([&](EngineState& s) { s.boardCaches.at(address).*entry = {code, T(echo)}; });
        return code;
    }
    // The same for a configuration slot.
    ErrorCode cacheConfigEcho(uint8_t address, uint8_t slot, ErrorCode code,
                              nlohmann::json const& echo);
    // Runs `work` on a detached thread counted in `workers`.
    void startWorker(std::function<void()> work) EXCLUDES(workersMutex);

protected:
    Bus::Schema const& schema;
    // The settings, caches, report, status and firmware selection.
    Guarded<EngineState> state;
    // True between start and stop.
    std::atomic<bool> running{false};
    // True until start has initialised every board; true again after stop.
    std::atomic<bool> starting{true};
    std::string const appPath;
    std::string const copiesDir;
    // Set once the untrusted copies directory was warned about: the warning
    // comes once per engine, which is once per service process.
    mutable std::atomic<bool> copiesWarned{false};
    std::map<uint8_t, Board> const boards;
    // The bus command layer, reached through `parser`; owned here so that
    // the layers above need not see its header.
    std::unique_ptr<Bus::Parser> const ownedParser;
    Bus::Parser& parser;
    // The firmware images, rules, reports and runs.
    FirmwareUpgrades firmwareUpgrades;
    // Built in place at construction and never changed: safe to hand out.
    std::map<uint8_t, std::map<uint8_t, Signal<>>> telemetrySignals;
    std::map<uint8_t, std::map<uint8_t, Signal<>>> statusSignals;

    CheckedMutex lifecycleMutex;
    std::condition_variable lifecycleChanged;
    bool startBusy GUARDED_BY(lifecycleMutex) = false; // start's steps run
    // A stop runs: written under lifecycleMutex, read without it by the
    // monitoring loop, whose failed requests then say nothing of the boards.
    std::atomic<bool> stopBusy{false};
    bool restartPending GUARDED_BY(lifecycleMutex) = false;
    // Exists while the engine runs; moved out under lifecycleMutex and
    // joined without it: the analysis cannot follow a handle once moved, so
    // the join itself is unchecked.
    std::thread restartThread GUARDED_BY(lifecycleMutex);
    // Detached file-transfer and upgrade workers still running; stop waits
    // for none to be left.
    CheckedMutex workersMutex;
    std::condition_variable workersIdle;
    size_t workers GUARDED_BY(workersMutex) = 0;
    // The monitoring loop and its thread, with its cursors, status pass and
    // reads; last, as it holds references to the members above.
    Monitor monitor;
};

} // namespace velt::ZRV480::BoardManager::Manager
