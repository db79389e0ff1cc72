#include "engine/Engine.h"

#include "bus/Helpers.h"
#include "foundation/Utils.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

char const* const ServiceVersionFilePath = "serviceConsoleFirmwareVersion";

std::string Engine::Paths::defaultAppDir() {
    return Bus::Common::Helpers::getExecutableDirectory();
}

Engine::Engine(Bus::Schema const& boardSchema) : Engine(boardSchema, Paths{}) {}

Engine::Engine(Bus::Schema const& boardSchema, Paths const& paths)
    : Logger("Engine"), schema(boardSchema), monitorStatistics(boardSchema.getBoardNames()),
      appPath(paths.appDir), copiesDir(paths.copiesDir), boards(boardSchema.getBoards()),
      monitoring(boards), parser(boardSchema.getBoardNames()),
      firmwares(boardSchema.getBoardNames()) {
    log(Log::Level::Info, "Detected app path %s", appPath.c_str());
    for (auto const& [address, board] : boards) {
        boardCaches.emplace(address, BoardCache(board));
        prevErrorBits[address] = 0;
        prevStatusBits[address] = 0;
        // The signals are made in place: nothing may copy them, the layers
        // above keep references.
        auto& telemetry = telemetrySignals[address];
        for (auto const& entry : board.getTelemetries()) {
            telemetry[entry.first];
        }
        auto& statuses = statusSignals[address];
        for (auto const& entry : board.getStatuses()) {
            statuses[entry.first];
        }
    }
    parser.firmwareUpgradeProgress.connect(
        [this](uint8_t address, float percent) { firmwareUpgradeProgress.emit(address, percent); });
    parser.fileTransmitProgress.connect(
        [this](float percent) { fileTransmitProgress.emit(percent); });
    parser.fileReceiveProgress.connect(
        [this](float percent) { fileReceiveProgress.emit(percent); });

    if (!firmwares.load(Utils::combinePath(appPath, "boards-state.json"))) {
        saveFirmwares();
    }
    if (firmwares.rebootRequired()) {
        status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
    }
    parser.configSet({static_cast<int64_t>(config.getUdpTimeoutMs()), config.getRetransmit()});
}

Status Engine::getStatus() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return status;
}

bool Engine::getIsActive() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return status.getIsActive();
}

bool Engine::getIsRunning() const {
    // Not while start is still bringing the boards up.
    return running && !starting;
}

Bus::Statistics Engine::getBusStatistics() const {
    return parser.getBusStatistics();
}

std::map<uint8_t, Bus::Board> const& Engine::getBoards() const {
    return boards;
}

std::map<uint8_t, Signal<>>& Engine::getTelemetrySignals(uint8_t address) {
    return telemetrySignals.at(address);
}

std::map<uint8_t, Signal<>>& Engine::getStatusSignals(uint8_t address) {
    return statusSignals.at(address);
}

Firmwares Engine::firmwareUpgradeGet() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return firmwares;
}

MonitorStatistics Engine::getMonitorStatistics() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return monitorStatistics;
}

BoardCache Engine::getBoardCache(uint8_t address) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return boardCaches.at(address);
}

bool Engine::saveFirmwares() {
    std::lock_guard<std::mutex> file(reportFileMutex);
    Firmwares const snapshot = firmwareUpgradeGet();
    return snapshot.save();
}

void Engine::setFirmwareUpgradeState(Status::FirmwareUpgrade state) {
    Status snapshot;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        status.setFirmwareUpgrade(state);
        snapshot = status;
    }
    statusChanged.emit(snapshot);
}

bool Engine::isBoardOnline(uint8_t address) const {
    // Without a main board in the schema nothing is reachable, and the bus
    // layer keeps no flag for address 0.
    return boards.count(Bus::Schema::AddressMain) != 0 &&
           parser.isOnline(Bus::Schema::AddressMain) && parser.isOnline(address);
}

ErrorCode Engine::answerFromCache(uint8_t address, bool needsInit,
                                  std::function<ErrorCode(BoardCache const&)> const& read) const {
    BoardCache const& cache = boardCaches.at(address);
    if (!isBoardOnline(address)) {
        return ErrorCode::Timeout;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    if (needsInit && !cache.initialized) {
        return ErrorCode::Timeout;
    }
    return read(cache);
}

void Engine::startWorker(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(workersMutex);
        ++workers;
    }
    std::thread([this, task = std::move(work)]() mutable {
        task();
        task = nullptr; // what it holds goes before the engine may
        std::lock_guard<std::mutex> lock(workersMutex);
        --workers;
        workersIdle.notify_all();
    }).detach();
}

void Engine::waitForWorkers() {
    std::unique_lock<std::mutex> lock(workersMutex);
    workersIdle.wait(lock, [this] { return workers == 0; });
}

} // namespace velt::ZRV480::BoardManager::Manager
