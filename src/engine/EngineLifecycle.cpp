#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Helpers.h"
#include "bus/Parser.h"
#include "bus/Schema.h"

#include <chrono>
#include <thread>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using namespace std::chrono_literals;

namespace {

constexpr size_t ConfigureAttempts = 3;
constexpr auto ConfigurePause = 2s;
// The main board's copy of the schema.
constexpr char const* RemoteSchema = "schema.xml";

} // namespace

Engine::~Engine() {
    if (running) {
        stop();
    }
    waitForWorkers();
}

void Engine::start() {
    {
        CheckedLock lifecycle(lifecycleMutex);
        if (running || stopBusy) {
            return;
        }
        if (boards.count(Bus::Schema::AddressMain) == 0) {
            // Every other board answers through the main board.
            log(Log::Level::Error, "Cannot start: the schema has no main board (address 0)");
            return;
        }
        running = true;
        startBusy = true;
        log(Log::Level::Info, "Starting...");
        parser.start();
    }
    runStartSteps();
    CheckedLock lifecycle(lifecycleMutex);
    startBusy = false;
    lifecycleChanged.notify_all();
    if (!running) {
        log(Log::Level::Info, "Start cut short by a stop");
        return;
    }
    launchMonitorThread(true);
    restartThread = std::thread([this] { runRestarts(); });
    log(Log::Level::Info, "Started!");
}

void Engine::runStartSteps() {
    boardConfigCacheTempFsCreate();
    for (size_t attempt = 1; attempt <= ConfigureAttempts && running; ++attempt) {
        log(Log::Level::Info, "Configuration attempt (%zu/%zu)", attempt, ConfigureAttempts);
        if (configure() == ErrorCode::Success) {
            break;
        }
        monitor.pauseUnlessStopped(ConfigurePause);
    }
    for (auto const& entry : boards) {
        if (!running) {
            return;
        }
        // A failure caused by a stop is no fault of the board.
        if (boardInitStartup(entry.first) != ErrorCode::Success && running) {
            log(Log::Level::Error, "Could not initialize %s", entry.second.getName().c_str());
        }
    }
    if (!running) {
        return;
    }
    starting = false;
    logBoardInfo();
    boardConfigChanged.emit();
}

void Engine::stop() {
    CheckedLock lifecycle(lifecycleMutex);
    if (monitor.onThread()) {
        log(Log::Level::Error, "The monitoring thread cannot stop the engine");
        return;
    }
    if (stopBusy) {
        // A second stop returns once the first is done.
        lifecycle.wait(lifecycleChanged, [this] { return !stopBusy; });
        return;
    }
    if (!running) {
        return;
    }
    log(Log::Level::Info, "Stopping...");
    stopBusy = true;
    running = false;
    starting = true;
    monitor.endLoop();
    // Ends the request in flight; every later one fails at once.
    parser.stop();
    lifecycleChanged.notify_all();
    lifecycle.unlock();
    monitor.wakeWaits();

    lifecycle.relock();
    lifecycle.wait(lifecycleChanged, [this] {
        lifecycleMutex.assertHeld();
        return !startBusy;
    });
    std::thread restarts = std::move(restartThread);
    lifecycle.unlock();
    if (restarts.joinable()) {
        restarts.join();
    }
    monitor.join();
    waitForWorkers();
    stopped.emit();
    for (auto const& entry : boards) {
        boardConfigCacheTempFsRemove(entry.first);
    }
    log(Log::Level::Info, "Stopped!");
    lifecycle.relock();
    stopBusy = false;
    lifecycleChanged.notify_all();
}

ErrorCode Engine::configure() {
    std::vector<uint8_t> const& local = schema.getBinary();
    if (local.empty()) {
        // Never replace the main board's schema with nothing.
        log(Log::Level::Error, "The local schema could not be read; not sending it");
        return ErrorCode::FileSizeError;
    }
    monitor.cacheHeartbeat(Bus::Schema::AddressMain);

    uint32_t size = 0;
    Md5 remote{};
    ErrorCode const checksum = parser.mainFileChecksum(RemoteSchema, size, remote);
    bool open = true;
    if (checksum == ErrorCode::Success) {
        Md5 const hash = schema.getHash();
        if (remote == hash) {
            log(Log::Level::Info, "./schema.xml matches remote");
            return ErrorCode::Success;
        }
        log(Log::Level::Warning, "Checksum does not match (local=%s, remote=%s)",
            Bus::Common::Helpers::hexStr(hash, true).c_str(),
            Bus::Common::Helpers::hexStr(remote, true).c_str());
    } else if (checksum == ErrorCode::BusInvalidValue) {
        log(Log::Level::Warning, "Firmware too old, does not support command 'MainFileChecksum'");
        // The checksum request left the remote file open: the transfer reuses it.
        open = false;
    } else {
        log(Log::Level::Warning, "Could not get checksum remote schema.xml: %s",
            ec2str(checksum).c_str());
    }

    ErrorCode const sent = parser.mainFileTransmit(RemoteSchema, local, open);
    if (sent != ErrorCode::Success) {
        log(Log::Level::Warning, "Could not transmit schema: %s", ec2str(sent).c_str());
        return sent;
    }
    return boardRebootSync(Bus::Schema::AddressMain);
}

void Engine::logBoardInfo() const {
    log(Log::Level::Info, "Detected boards:");
    for (auto const& entry : boards) {
        BoardInfo const info = readCache(
            state, entry.first, [](BoardCache const& cache) { return cache.boardInfo.second; });
        log(Log::Level::Info, "- %s-R%d (firmware=%s, version=%d)", info.boardName.c_str(),
            info.boardVersion, info.firmwareName.c_str(), info.firmwareVersion);
    }
}

void Engine::launchMonitorThread(bool withFirmwarePhases) {
    if (!withFirmwarePhases) {
        monitor.launch(nullptr);
        return;
    }
    monitor.launch([this] {
        firmwareUpgrades.readServiceVersion();
        firmwareUpgrades.applyFirmwareUpgrades();
    });
}

void Engine::reviveTransport() {
    // Under the lifecycle lock, as a stop stops the bus under it: a stop that
    // has stopped the transport is never undone here.
    CheckedLock lifecycle(lifecycleMutex);
    if (running && monitor.looping() && !parser.isTransportRunning()) {
        log(Log::Level::Warning, "Bus transport stopped, restarting it");
        parser.restart();
    }
}

void Engine::requestMonitorRestart() {
    CheckedLock lifecycle(lifecycleMutex);
    if (!running || !restartThread.joinable()) {
        return;
    }
    log(Log::Level::Warning, "Restarting monitor thread due to changed config");
    restartPending = true;
    lifecycleChanged.notify_all();
}

void Engine::runRestarts() {
    CheckedLock lifecycle(lifecycleMutex);
    while (true) {
        lifecycle.wait(lifecycleChanged, [this] {
            lifecycleMutex.assertHeld();
            return restartPending || !running;
        });
        if (!running) {
            return;
        }
        restartPending = false;
        monitor.endLoop();
        lifecycle.unlock();
        monitor.wakeWaits();
        // A firmware run in progress is finished first; a stop ends it.
        monitor.join();
        lifecycle.relock();
        if (!running) {
            return;
        }
        launchMonitorThread(false);
    }
}

} // namespace velt::ZRV480::BoardManager::Manager
