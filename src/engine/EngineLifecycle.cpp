#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Helpers.h"
#include "bus/Schema.h"

#include <algorithm>
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
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (running) {
        return;
    }
    if (boards.count(Bus::Schema::AddressMain) == 0) {
        // Every other board answers through the main board.
        log(Log::Level::Error, "Cannot start: the schema has no main board (address 0)");
        return;
    }
    running = true;
    log(Log::Level::Info, "Starting...");
    parser.start();
    boardConfigCacheTempFsCreate();

    for (size_t attempt = 1; attempt <= ConfigureAttempts; ++attempt) {
        log(Log::Level::Info, "Configuration attempt (%zu/%zu)", attempt, ConfigureAttempts);
        if (configure() == ErrorCode::Success) {
            break;
        }
        std::this_thread::sleep_for(ConfigurePause);
    }
    for (auto const& entry : boards) {
        if (boardInitStartup(entry.first) != ErrorCode::Success) {
            log(Log::Level::Error, "Could not initialize %s", entry.second.getName().c_str());
        }
    }
    starting = false;
    logBoardInfo();
    boardConfigChanged.emit();
    launchMonitorThread(true);
    log(Log::Level::Info, "Started!");
}

void Engine::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (!running) {
        return;
    }
    if (onMonitorThread()) {
        log(Log::Level::Error, "The monitoring thread cannot stop the engine");
        return;
    }
    log(Log::Level::Info, "Stopping...");
    running = false;
    starting = true;
    joinMonitorThread();
    parser.stop();
    // Their requests fail at once now that the bus layer has stopped.
    waitForWorkers();
    stopped.emit();
    for (auto const& entry : boards) {
        boardConfigCacheTempFsRemove(entry.first);
    }
    log(Log::Level::Info, "Stopped!");
}

ErrorCode Engine::configure() {
    std::vector<uint8_t> const& local = schema.getBinary();
    if (local.empty()) {
        // Never replace the main board's schema with nothing.
        log(Log::Level::Error, "The local schema could not be read; not sending it");
        return ErrorCode::FileSizeError;
    }
    cacheHeartbeat(Bus::Schema::AddressMain);

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
        BoardInfo const info =
            readCache(entry.first, [](BoardCache const& cache) { return cache.boardInfo.second; });
        log(Log::Level::Info, "- %s-R%d (firmware=%s, version=%d)", info.boardName.c_str(),
            info.boardVersion, info.firmwareName.c_str(), info.firmwareVersion);
    }
}

void Engine::launchMonitorThread(bool withFirmwarePhases) {
    keepMonitoring = true;
    monitorThread = std::thread([this, withFirmwarePhases] {
        if (withFirmwarePhases) {
            readServiceVersion();
            applyFirmwareUpgrades();
        }
        monitoringFunction();
    });
}

void Engine::joinMonitorThread() {
    keepMonitoring = false;
    {
        // Taken once so that a wait that has just checked the flag is
        // already waiting when the notice comes.
        std::lock_guard<std::mutex> lock(monitorWaitMutex);
    }
    monitorWake.notify_all();
    if (monitorThread.joinable()) {
        monitorThread.join();
    }
}

bool Engine::onMonitorThread() const {
    return monitorThread.get_id() == std::this_thread::get_id();
}

void Engine::restartMonitorThread() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (!running || !monitorThread.joinable()) {
        return;
    }
    if (onMonitorThread()) {
        log(Log::Level::Error, "The monitoring thread cannot restart itself");
        return;
    }
    log(Log::Level::Warning, "Restarting monitor thread due to changed config");
    joinMonitorThread();
    launchMonitorThread(false);
}

} // namespace velt::ZRV480::BoardManager::Manager
