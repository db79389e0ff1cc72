#pragma once

// The monitoring loop of the engine: one batch per board and cycle (heartbeat,
// reboot check, status pass, the next configuration read, a run of
// telemetry reads), then a pause. Its status pass and slot reads are also
// what the engine's start-up, reboots and stored configurations use to fill
// the caches.
//
// Threads: the start-up thread before the monitoring thread exists, the
// monitoring thread after; the engine's start and stop never let the two
// overlap. The monitor owns the monitoring thread: the engine launches it
// (under its lifecycle lock, so that a stop never misses a launch) and joins
// it through launch and join. cacheHeartbeat also runs on the reboot poll
// thread and cacheConfig on the callers of a stored configuration: both
// touch only the bus and `state`.
//
// Locks: `state` (the engine's leaf lock) only to copy in and out;
// waitMutex (with wake) only for the pauses, a leaf; threadMutex only to
// launch, identify or move out the thread, a leaf, never held across the
// join. Monitoring-only state needs no lock: the cursors (monitoring), the
// previous status words (prevStatusBits, prevErrorBits) and the previous
// heartbeat results (previousHeartbeat). Signals are emitted without a lock
// held.

#include "engine/BoardCache.h"
#include "engine/EngineState.h"
#include "engine/Monitoring.h"

#include "bus/Board.h"
#include "bus/ErrorCode.h"
#include "bus/SlotType.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Guarded.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"
#include "foundation/ThreadSafety.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace velt::ZRV480::Bus {
class Packet;
class Parser;
} // namespace velt::ZRV480::Bus

namespace velt::ZRV480::BoardManager::Manager {

class Monitor : public Logger {
public:
    using ErrorCode = Bus::Common::ErrorCode;
    using SlotSignals = std::map<uint8_t, std::map<uint8_t, Signal<>>>;

    // The engine's phase flags, read only.
    struct Phases {
        std::atomic<bool> const& running;  // between start and stop
        std::atomic<bool> const& starting; // until start has initialised every board
        std::atomic<bool> const& stopping; // a stop runs: failures say nothing of the boards
    };
    // The engine's signals the monitor emits.
    struct Events {
        Signal<uint8_t>& boardOnline;
        Signal<uint8_t>& boardOffline;
        Signal<std::string const>& slotNStatusChanged;
        SlotSignals& telemetrySignals;
        SlotSignals& statusSignals;
    };
    // What the monitor asks the engine to do.
    struct Hooks {
        std::function<bool(uint8_t)> isBoardOnline; // the board and the main board
        std::function<ErrorCode(uint8_t)> initEmergency;
        // Starts anew a transport that stopped itself after receive errors.
        std::function<void()> reviveTransport;
    };

    Monitor(Bus::Parser& busParser, Guarded<EngineState>& engineState,
            std::map<uint8_t, Bus::Board> const& boardMap, Phases const& phases,
            Events const& events, Hooks hooks);

    // Starts the monitoring thread: `firstSteps` when given, then the loop
    // until endLoop. The engine calls it under its lifecycle lock, which
    // this class cannot name: Engine::launchMonitorThread carries the rule.
    void launch(std::function<void()> firstSteps) EXCLUDES(threadMutex);
    // Whether the caller is the monitoring thread, until it has been joined.
    bool onThread() const EXCLUDES(threadMutex);
    // Joins the monitoring thread, if any, with no lock held; the loop must
    // have been ended (endLoop, wakeWaits) for it to return.
    void join() EXCLUDES(threadMutex);
    // Ends the loop at its next check; wakeWaits ends its pause.
    void endLoop();
    bool looping() const;
    // Wakes the pause between cycles and the pauses of a start.
    void wakeWaits() EXCLUDES(waitMutex);
    // Waits for the time given unless the engine stops first.
    void pauseUnlessStopped(std::chrono::milliseconds pause) EXCLUDES(waitMutex);

    // One batch of the loop for the board; Timeout when the board or the bus
    // is away (the bus then hides the boards behind it for this cycle).
    ErrorCode cacheBatch(uint8_t address, uint64_t batchSize, uint64_t cycle);
    // A fresh cache for a board found rebooted, keeping its configuration
    // values and its attempt count.
    void rebuildCache(uint8_t address);
    void cacheMainNetwork();
    void cacheMainTimestamp();
    void cacheMainBusStatistics();

    // Status tracking (MonitorStatusPass.cpp).
    void cacheHeartbeat(uint8_t address);
    void handleBoardStatus(uint8_t address);
    void cacheSlot0Status(uint8_t address);
    void cacheSlotNStatus(uint8_t address, uint8_t slot);

    // Telemetry and configuration reads (MonitorReads.cpp).
    void cacheTelemetry(uint8_t address, uint8_t slot);
    void cacheConfig(uint8_t address, uint8_t slot);

private:
    // The loop, on the monitoring thread, until endLoop.
    void run();
    // The offline check of a batch: the heartbeat's result when the batch
    // ends here, nothing when it goes on.
    std::optional<ErrorCode> checkOffline(uint8_t address);
    // Whether the board and the bus are still online for the next step of a
    // batch; when not, and a request of the batch failed on the wire, that
    // is the board's drop-out.
    bool batchGoesOn(uint8_t address);
    // A request to the board failed on the wire with `result`: unless its
    // last drop-out ended the same way, the offline edge (initialized false,
    // boardOffline).
    void noteDropOut(uint8_t address, ErrorCode result);
    void cacheNextConfig(uint8_t address);
    void cacheNextTelemetry(uint8_t address);
    void recordCacheAge(uint8_t address, Monitoring::Steps step);
    // The pause between cycles, in 50 ms steps reported as idle time; ends
    // at once when the loop is told to stop.
    void monitorSleep(std::chrono::milliseconds period) EXCLUDES(waitMutex);
    // One Int32, Bool, Double or Color read in the slot type's JSON form
    // (null when the read failed).
    std::pair<ErrorCode, nlohmann::json> readSlotValue(Bus::Packet const& request,
                                                       Bus::SlotType type, uint8_t multiplier);

    Bus::Parser& parser;
    Guarded<EngineState>& state;
    std::map<uint8_t, Bus::Board> const& boards;
    Phases const phases;
    Events const events;
    Hooks const hooks;
    // Keeps the loop going; cleared by a stop and by a restart.
    std::atomic<bool> keepMonitoring{false};
    Monitoring monitoring;                             // monitoring-only
    std::map<uint8_t, std::bitset<32>> prevErrorBits;  // monitoring-only
    std::map<uint8_t, std::bitset<32>> prevStatusBits; // monitoring-only
    // Result of each board's last drop-out; Success once it answered again.
    std::map<uint8_t, ErrorCode> previousHeartbeat; // monitoring-only
    CheckedMutex waitMutex;
    std::condition_variable wake;
    mutable CheckedMutex threadMutex;
    // Moved out under threadMutex and joined without it: the analysis
    // cannot follow a handle once moved, so the join itself is unchecked.
    std::thread monitorThread GUARDED_BY(threadMutex);
    // Of the monitoring thread until it has been joined.
    std::thread::id monitorThreadId GUARDED_BY(threadMutex);
};

} // namespace velt::ZRV480::BoardManager::Manager
