#include "engine/Engine.h"

#include "bus/Helpers.h"
#include "bus/Parser.h"
#include "foundation/Utils.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

std::string Engine::Paths::defaultAppDir() {
    return Bus::Common::Helpers::getExecutableDirectory();
}

Engine::Engine(Bus::Schema const& boardSchema) : Engine(boardSchema, Paths{}) {}

Engine::Engine(Bus::Schema const& boardSchema, Paths const& paths)
    : Logger("Engine"), schema(boardSchema), state(boardSchema), appPath(paths.appDir),
      copiesDir(paths.copiesDir), boards(boardSchema.getBoards()),
      ownedParser(std::make_unique<Bus::Parser>(boardSchema.getBoardNames())), parser(*ownedParser),
      firmwareUpgrades(parser, state, boards, appPath, running,
                       {statusChanged, firmwareUpgradeProgress, firmwareUpgradeFinished,
                        [this](std::function<void()> work) { startWorker(std::move(work)); },
                        [this](std::vector<uint8_t> const& bytes, std::string const& remoteName) {
                            return mainFileTransmit(bytes, remoteName);
                        },
                        [this](uint8_t address) { return boardRebootSync(address); },
                        [this] { return poweredByMains(); }}),
      monitor(parser, state, boards, {running, starting, stopBusy},
              {boardOnline, boardOffline, slotNStatusChanged, telemetrySignals, statusSignals},
              {[this](uint8_t address) { return isBoardOnline(address); },
               [this](uint8_t address) { return boardInitEmergency(address); },
               [this] { reviveTransport(); }}) {
    log(Log::Level::Info, "Detected app path %s", appPath.c_str());
    for (auto const& [address, board] : boards) {
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

    bool const loaded = state.with([&](EngineState& s) {
        return s.firmwares.load(Utils::combinePath(appPath, "boards-state.json"));
    });
    if (!loaded) {
        firmwareUpgrades.saveFirmwares();
    }
    Bus::Parser::Config const bus = state.with([](EngineState& s) {
        if (s.firmwares.rebootRequired()) {
            s.status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
        }
        return Bus::Parser::Config{static_cast<int64_t>(s.config.getUdpTimeoutMs()),
                                   s.config.getRetransmit()};
    });
    parser.configSet(bus);
}

Status Engine::getStatus() const {
    return state.with([&](EngineState const& s) { return s.status; });
}

bool Engine::getIsActive() const {
    return state.with([&](EngineState const& s) { return s.status.getIsActive(); });
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
    return firmwareUpgrades.firmwareUpgradeGet();
}

ErrorCode Engine::boardOtaFirmwareUpgrade(uint8_t address, std::string const& path, bool force) {
    return firmwareUpgrades.boardOtaFirmwareUpgrade(address, path, force);
}

ErrorCode Engine::firmwareUpgradeApply() {
    return firmwareUpgrades.firmwareUpgradeApply();
}

MonitorStatistics Engine::getMonitorStatistics() const {
    return state.with([&](EngineState const& s) { return s.monitorStatistics; });
}

BoardCache Engine::getBoardCache(uint8_t address) const {
    return state.with([&](EngineState const& s) { return s.boardCaches.at(address); });
}

bool Engine::isBoardOnline(uint8_t address) const {
    // Without a main board in the schema nothing is reachable, and the bus
    // layer keeps no flag for address 0.
    return boards.count(Bus::Schema::AddressMain) != 0 &&
           parser.isOnline(Bus::Schema::AddressMain) && parser.isOnline(address);
}

void Engine::startWorker(std::function<void()> work) {
    {
        CheckedLock lock(workersMutex);
        ++workers;
    }
    std::thread([this, task = std::move(work)]() mutable {
        task();
        task = nullptr; // what it holds goes before the engine may
        CheckedLock lock(workersMutex);
        --workers;
        workersIdle.notify_all();
    }).detach();
}

void Engine::waitForWorkers() {
    CheckedLock lock(workersMutex);
    lock.wait(workersIdle, [this] {
        workersMutex.assertHeld();
        return workers == 0;
    });
}

} // namespace velt::ZRV480::BoardManager::Manager
