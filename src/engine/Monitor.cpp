#include "engine/Monitor.h"

#include "engine/Engine.h"

#include "bus/BusReport.h"
#include "bus/ErrorCode.h"
#include "bus/Helpers.h"
#include "bus/Parser.h"
#include "bus/Schema.h"
#include "foundation/CheckedLock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <tuple>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;
using namespace std::chrono_literals;

namespace {

// The pause between cycles is taken and reported as idle time in steps of this.
constexpr std::chrono::milliseconds SleepStep = 50ms;
// The network, clock and bus report of the main board are read every tenth cycle.
constexpr uint64_t MiscCycles = 10;
// A board found rebooted with more failed initialisations than this behind
// it is left alone until a reboot request.
constexpr uint32_t RebuildAttempts = 4;

} // namespace

Monitor::Monitor(Bus::Parser& busParser, Guarded<EngineState>& engineState,
                 std::map<uint8_t, Bus::Board> const& boardMap, Phases const& enginePhases,
                 Events const& engineEvents, Hooks engineHooks)
    : Logger("Engine"), parser(busParser), state(engineState), boards(boardMap),
      phases(enginePhases), events(engineEvents), hooks(std::move(engineHooks)),
      monitoring(boardMap) {
    for (auto const& entry : boards) {
        prevErrorBits[entry.first] = 0;
        prevStatusBits[entry.first] = 0;
    }
}

void Monitor::run() {
    size_t slots = 0;
    for (auto const& entry : boards) {
        slots += entry.second.getConfigs().size() + entry.second.getTelemetries().size() + 2;
    }
    int const priority = Bus::Common::Helpers::threadPriorityMinGet();
    int const failure = Bus::Common::Helpers::threadPrioritySet(priority);
    log(failure == 0 ? Log::Level::Info : Log::Level::Error,
        "%set transmission priority to min(%d): %s", failure == 0 ? "S" : "Could not s", priority,
        std::strerror(failure));

    uint64_t batchSize = 0;
    uint32_t periodMs = 0;
    state.with([&](EngineState const& s) {
        batchSize = s.config.getCacheBatchSize();
        periodMs = s.config.getStatusPeriod();
    });
    log(Log::Level::Info, "Monitoring %d slots in batches of %d*%d every %dms",
        static_cast<int>(slots), static_cast<int>(batchSize), static_cast<int>(boards.size()),
        static_cast<int>(periodMs));
    // Read once: a new period takes effect when the loop is restarted.
    std::chrono::milliseconds const period(periodMs);

    uint64_t cycle = 0;
    while (keepMonitoring) {
        hooks.reviveTransport();
        for (auto const& entry : boards) {
            if (!keepMonitoring) {
                break;
            }
            state.with([&](EngineState const& s) { batchSize = s.config.getCacheBatchSize(); });
            // A time-out that took the bus away ends the cycle: the boards
            // behind would only be held back. An absent board's silence
            // leaves the bus online, and the cycle goes on to the next board.
            if (cacheBatch(entry.first, batchSize, cycle) == ErrorCode::Timeout &&
                !parser.isOnline(Bus::Schema::AddressMain)) {
                break;
            }
        }
        cycle = (cycle + 1) % MiscCycles;
        monitorSleep(period);
    }
}

void Monitor::launch(std::function<void()> firstSteps) {
    keepMonitoring = true;
    CheckedLock lock(threadMutex);
    monitorThread = std::thread([this, steps = std::move(firstSteps)] {
        if (steps) {
            steps();
        }
        run();
    });
    monitorThreadId = monitorThread.get_id();
}

bool Monitor::onThread() const {
    CheckedLock lock(threadMutex);
    return monitorThreadId == std::this_thread::get_id();
}

void Monitor::join() {
    std::thread loop;
    {
        CheckedLock lock(threadMutex);
        loop = std::move(monitorThread);
    }
    if (!loop.joinable()) {
        return;
    }
    std::thread::id const joined = loop.get_id();
    loop.join();
    CheckedLock lock(threadMutex);
    // Not a thread launched since, whose identity stays until its own join.
    if (monitorThreadId == joined) {
        monitorThreadId = {};
    }
}

void Monitor::endLoop() {
    keepMonitoring = false;
}

bool Monitor::looping() const {
    return keepMonitoring;
}

void Monitor::wakeWaits() {
    {
        // Taken once so that a wait that has just checked its flag is
        // already waiting when the notice comes.
        CheckedLock lock(waitMutex);
    }
    wake.notify_all();
}

void Monitor::pauseUnlessStopped(std::chrono::milliseconds pause) {
    CheckedLock lock(waitMutex);
    lock.waitFor(wake, pause, [this] { return !phases.running; });
}

ErrorCode Monitor::cacheBatch(uint8_t address, uint64_t batchSize, uint64_t cycle) {
    if (address != Bus::Schema::AddressMain && !parser.isOnline(Bus::Schema::AddressMain)) {
        // Only the main board's heartbeat brings the bus back: this board's
        // would be held back and tell nothing about it.
        return ErrorCode::Timeout;
    }
    parser.takeDropOut(); // a failure before this batch is not this board's
    cacheHeartbeat(address);
    // A heartbeat cut short by a stop says nothing about the board.
    if (phases.stopping) {
        return ErrorCode::Success;
    }
    if (auto const ended = checkOffline(address)) {
        return *ended;
    }

    if (batchGoesOn(address)) {
        uint32_t const attempts =
            readCache(state, address, [](BoardCache const& cache) { return cache.initAttempts; });
        int32_t value = 0;
        if (parser.scratchpadGet(address, Engine::ScratchpadCell, value) == ErrorCode::Success &&
            value != Engine::ScratchpadMarker) {
            bool const givenUp = attempts > RebuildAttempts;
            if (!givenUp) {
                log(Log::Level::Warning,
                    "Scratchpad of %s [0x%08x] does not match expected [0x%08x]. Reboot detected!",
                    boards.at(address).getName().c_str(), static_cast<unsigned>(value),
                    static_cast<unsigned>(Engine::ScratchpadMarker));
            }
            // What the board reported before its reboot is stale either way.
            rebuildCache(address);
            if (givenUp) {
                return ErrorCode::Success; // until a reboot request
            }
        }
        if (!readCache(state, address, [](BoardCache const& cache) { return cache.initialized; })) {
            hooks.initEmergency(address);
            if (!phases.stopping) {
                events.boardOnline.emit(address);
            }
            return ErrorCode::Success;
        }
    }

    if (batchGoesOn(address)) {
        handleBoardStatus(address);
        recordCacheAge(address, Monitoring::Steps::Status);
    }
    if (cycle == 0 && batchGoesOn(address)) {
        if (address == Bus::Schema::AddressMain) {
            cacheMainNetwork();
            cacheMainTimestamp();
            cacheMainBusStatistics();
        }
        recordCacheAge(address, Monitoring::Steps::Misc);
    }
    if (batchGoesOn(address)) {
        cacheNextConfig(address);
    }
    for (uint64_t read = 0; read <= batchSize; ++read) {
        if (phases.stopping || !batchGoesOn(address)) {
            return ErrorCode::Success;
        }
        cacheNextTelemetry(address);
    }
    return ErrorCode::Success;
}

std::optional<ErrorCode> Monitor::checkOffline(uint8_t address) {
    ErrorCode const result =
        readCache(state, address, [](BoardCache const& cache) { return cache.heartbeat.first; });
    if (hooks.isBoardOnline(address) || result == ErrorCode::Success) {
        // Remembered as well, so that a second drop-out with the same code
        // as the first is an edge again. A success while offline: every
        // further step finds the board offline.
        previousHeartbeat[address] = ErrorCode::Success;
        return std::nullopt;
    }
    if (!parser.takeDropOut()) {
        // Held back after another thread's request took the bus away.
        return ErrorCode::Timeout;
    }
    noteDropOut(address, result);
    return result;
}

bool Monitor::batchGoesOn(uint8_t address) {
    if (hooks.isBoardOnline(address)) {
        return true;
    }
    // Only a request of this batch that failed on the wire makes it this
    // board's drop-out; a failure of another thread's request is not.
    if (auto const lost = parser.takeDropOut()) {
        noteDropOut(address, *lost);
    }
    return false;
}

void Monitor::noteDropOut(uint8_t address, ErrorCode result) {
    auto const known = previousHeartbeat.find(address);
    ErrorCode const previous =
        known == previousHeartbeat.end() ? ErrorCode::Success : known->second;
    previousHeartbeat[address] = result;
    if (result != previous) {
        changeCache(state, address, [](BoardCache& cache) { cache.initialized = false; });
        events.boardOffline.emit(address);
    }
}

void Monitor::rebuildCache(uint8_t address) {
    BoardCache fresh(boards.at(address));
    changeCache(state, address, [&fresh](BoardCache& cache) {
        fresh.configs = std::move(cache.configs);
        fresh.initAttempts = cache.initAttempts;
        fresh.configLoaded = cache.configLoaded;
        cache = std::move(fresh);
    });
}

namespace {

// Reads the slot at the board's cursor with `read` and advances the cursor;
// true when it went back to the first slot. A board without such slots
// reads nothing.
template <typename Slots, typename Read>
bool readAtCursor(typename Slots::const_iterator& next, typename Slots::const_iterator end,
                  Slots const& slots, Read read) {
    if (next == end) {
        return false;
    }
    read(next->first);
    if (++next != end) {
        return false;
    }
    next = slots.begin();
    return true;
}

} // namespace

void Monitor::cacheNextConfig(uint8_t address) {
    if (readAtCursor(monitoring.getConfigIts(address), monitoring.getConfigItEnds(address),
                     boards.at(address).getConfigs(),
                     [&](uint8_t slot) { cacheConfig(address, slot); })) {
        recordCacheAge(address, Monitoring::Steps::Config);
    }
}

void Monitor::cacheNextTelemetry(uint8_t address) {
    if (readAtCursor(monitoring.getTelemetryIts(address), monitoring.getTelemetryItEnds(address),
                     boards.at(address).getTelemetries(),
                     [&](uint8_t slot) { cacheTelemetry(address, slot); })) {
        recordCacheAge(address, Monitoring::Steps::Telemetry);
    }
}

void Monitor::recordCacheAge(uint8_t address, Monitoring::Steps step) {
    auto const now = MonitorStatistics::Clock::now();
    state.with([&](EngineState& s) { s.monitorStatistics.setCachAge(address, step, now); });
}

void Monitor::monitorSleep(std::chrono::milliseconds period) {
    using Clock = std::chrono::steady_clock;
    for (auto slept = 0ms; slept < period && keepMonitoring; slept += SleepStep) {
        auto const from = Clock::now();
        {
            CheckedLock lock(waitMutex);
            lock.waitUntil(wake, from + SleepStep, [this] { return !keepMonitoring; });
        }
        state.with([&](EngineState& s) {
            s.monitorStatistics.addIdleTime(
                std::min<Clock::duration>(Clock::now() - from, SleepStep));
        });
    }
}

void Monitor::cacheMainNetwork() {
    log(Log::Level::Debug, "cacheMainNetwork");
    bool link = false;
    Engine::Mac mac{};
    Engine::Ip ip{};
    ErrorCode const statusResult = parser.mainNetworkStatusGet(link, mac, ip);
    uint16_t port = 0;
    ErrorCode const serverResult = parser.mainNetworkBoardServerGet(port);
    bool dhcp = false;
    ErrorCode const dhcpResult = parser.mainNetworkDhcpGet(dhcp);
    Engine::Ip address{};
    Engine::Ip netmask{};
    Engine::Ip gateway{};
    ErrorCode const ipResult = parser.mainNetworkIpGet(address, netmask, gateway);
    Engine::Ip dns{};
    ErrorCode const dnsResult = parser.mainNetworkDnsGet(dns);
    changeCache(state, Bus::Schema::AddressMain, [&](BoardCache& cache) {
        cache.mainNetworkStatus = {statusResult, {link, mac, ip}};
        cache.mainNetworkBoardServer = {serverResult, port};
        cache.mainNetworkDhcp = {dhcpResult, dhcp};
        cache.mainNetworkIp = {ipResult, {address, netmask, gateway}};
        cache.mainNetworkDns = {dnsResult, dns};
    });
}

void Monitor::cacheMainTimestamp() {
    log(Log::Level::Debug, "cacheMainTimestamp");
    int32_t timestamp = 0;
    ErrorCode const result = parser.mainTimestampGet(timestamp);
    changeCache(state, Bus::Schema::AddressMain, [&](BoardCache& cache) {
        cache.mainTimestamp = {result, timestamp};
    });
}

void Monitor::cacheMainBusStatistics() {
    log(Log::Level::Debug, "cacheMainBusStatistics");
    Bus::BusReport report{};
    ErrorCode const result = parser.mainBusStatisticsGet(report);
    changeCache(state, Bus::Schema::AddressMain, [&](BoardCache& cache) {
        cache.mainBusStatistics = {result, report};
    });
}

} // namespace velt::ZRV480::BoardManager::Manager
