// Firmware upgrade runs: the manual upgrade of one board on a worker, the
// automatic run at the start of the monitoring thread, and applying the
// upgrades by rebooting the boards.

#include "engine/FirmwareUpgrades.h"

#include "engine/FirmwareIdentity.h"

#include "bus/ErrorCode.h"
#include "bus/Firmware.h"
#include "bus/Parser.h"
#include "bus/Schema.h"
#include "foundation/AtomicFile.h"
#include "foundation/Log.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using State = Firmwares::State;
using Upgrade = Status::FirmwareUpgrade;

char const* const ServiceVersionFilePath = "serviceConsoleFirmwareVersion";

namespace {

constexpr uint8_t ServiceAddress = Bus::Schema::AddressService;
// Rebooted last, and only on mains: it powers the others.
constexpr char const* PowerSupplyName = "psu";

// An installed image leaves the firmware directory, so that the next start
// does not select it again while the board still waits for its reboot.
void moveToAccepted(Logger const& logger, std::string const& path, std::string const& acceptedDir) {
    std::string const name = Utils::getFilenameFromFilepath(path);
    if (std::rename(path.c_str(), Utils::combinePath(acceptedDir, name).c_str()) != 0) {
        logger.log(Log::Level::Error, "Failed to move '%s' to '%s'", name.c_str(),
                   acceptedDir.c_str());
    } else {
        logger.log(Log::Level::Info, "Moved '%s' to '%s'", name.c_str(), acceptedDir.c_str());
    }
}

// The manager status once an upload or a reboot has settled: whatever else
// happened, boards that wait for their reboot keep it at PendingReboot.
Upgrade settledState(Firmwares const& reports) {
    return reports.rebootRequired() ? Upgrade::PendingReboot : Upgrade::None;
}

// Settles the status in `s`; a copy of it when that changed it.
std::optional<Status> settle(EngineState& s) {
    Upgrade const settled = settledState(s.firmwares);
    if (s.status.getFirmwareUpgrade() == settled) {
        return std::nullopt;
    }
    s.status.setFirmwareUpgrade(settled);
    return s.status;
}

// A report's state once its upload has ended.
State uploadOutcome(ErrorCode result) {
    return result == ErrorCode::Success ? State::pendingReboot : State::failed;
}

} // namespace

ErrorCode FirmwareUpgrades::boardOtaFirmwareUpgrade(uint8_t address, std::string const& path,
                                                    bool force) {
    log(Log::Level::Info, "Firmware upgrade for %s with '%s'", boards.at(address).getName().c_str(),
        path.c_str());
    Firmware const image(path);
    if (!image.isValid()) {
        return ErrorCode::InvalidParameter;
    }
    ErrorCode const allowed = boardOtaFirmwareUpgradeAllowed(address, image.getHeader(), force);
    if (allowed != ErrorCode::Success) {
        return allowed;
    }
    state.with([&](EngineState& s) {
        s.otaImages.insert_or_assign(address, image);
        s.firmwares[address] = {State::installing, image.getHeader().getVersion()};
    });
    saveFirmwares();
    hooks.startWorker([this, address, image] { runManualUpgrade(address, image); });
    return ErrorCode::Success;
}

void FirmwareUpgrades::runManualUpgrade(uint8_t address, Firmware const& image) {
    uint8_t const version = image.getHeader().getVersion();
    uint8_t retries = 0;
    state.with([&](EngineState& s) {
        s.firmwares[address] = {State::installing, version};
        retries = static_cast<uint8_t>(s.config.getRetransmit());
    });
    setFirmwareUpgradeState(Upgrade::InProgress);
    ErrorCode const result =
        parser.boardOtaFirmwareUpgradeExecute(address, image.getBinary(), retries);
    setReport(address, uploadOutcome(result), version);
    saveFirmwares();
    Status snapshot;
    state.with([&](EngineState& s) {
        s.status.setFirmwareUpgrade(settledState(s.firmwares));
        snapshot = s.status;
    });
    hooks.firmwareUpgradeFinished.emit(address, result);
    hooks.statusChanged.emit(snapshot);
}

void FirmwareUpgrades::applyFirmwareUpgrades() {
    if (!createFirmwareDirectories()) {
        return;
    }
    selectBoardImages();
    selectServiceImage();
    saveFirmwares();
    // Every report takes part, those loaded from the file included.
    std::optional<std::vector<Report>> const reports = reportsToRun();
    if (!reports) {
        return;
    }
    setFirmwareUpgradeState(Upgrade::InProgress);
    if (upgradeBoards(*reports)) {
        serviceConsoleFirmwareUpgrade();
    }
    saveFirmwares();
    // Reports loaded from the file count as well as those of this run.
    settleUpgradeState();
}

void FirmwareUpgrades::selectBoardImages() {
    for (auto const& [address, board] : boards) {
        Bus::ValueObjects::BoardInfo info;
        state.with([&, address = address](EngineState const& s) {
            info = s.boardCaches.at(address).boardInfo.second;
        });
        uint8_t const expected = board.getExpectedFirmwareVersion();
        if (expected == info.firmwareVersion) {
            continue;
        }
        std::string const nameWithRevision = FirmwareIdentity::nameWithRevision(info);
        std::optional<Firmware> const image = findFirmwareFile(expected, nameWithRevision);
        if (!image) {
            log(Log::Level::Error, "Could not find firmware for %s", nameWithRevision.c_str());
            continue;
        }
        state.with([&, address = address](EngineState& s) {
            s.otaImages.insert_or_assign(address, *image);
            s.firmwares[address] = {State::pendingInstallation, expected};
        });
    }
}

void FirmwareUpgrades::selectServiceImage() {
    readServiceVersion();
    uint8_t current = 0;
    state.with([&](EngineState const& s) { current = s.serviceConsoleVersion; });
    std::optional<Firmware> const console =
        findFirmwareFileGrater(current, FirmwareIdentity::ServiceNameWithRevision);
    if (!console) {
        log(Log::Level::Info, "Could not find firmware for %s",
            FirmwareIdentity::ServiceNameWithRevision);
        return;
    }
    state.with([&](EngineState& s) {
        s.otaImages.insert_or_assign(ServiceAddress, *console);
        s.firmwares[ServiceAddress] = {State::pendingInstallation,
                                       console->getHeader().getVersion()};
    });
}

std::optional<std::vector<FirmwareUpgrades::Report>> FirmwareUpgrades::reportsToRun() const {
    return state.with([&](EngineState const& s) -> std::optional<std::vector<Report>> {
        if (s.otaImages.empty()) {
            return std::nullopt;
        }
        std::vector<Report> reports;
        for (auto const& report : s.firmwares) {
            if (report.first != ServiceAddress) {
                reports.push_back(report);
            }
        }
        return reports;
    });
}

bool FirmwareUpgrades::upgradeBoards(std::vector<Report> const& reports) {
    for (auto const& [address, report] : reports) {
        // A stop has cut the upload in progress short by stopping the bus
        // layer; the boards left wait for the next start.
        if (!running) {
            log(Log::Level::Info, "Engine stopping: firmware upgrades left for the next start");
            return false;
        }
        upgradeBoard(address, report);
    }
    return true;
}

void FirmwareUpgrades::upgradeBoard(uint8_t address, Firmwares::Firmware const& report) {
    bool const hasImage =
        state.with([&](EngineState const& s) { return s.otaImages.count(address) != 0; });
    ErrorCode result = ErrorCode::Success;
    if (!hasImage && report.state != State::pendingReboot) {
        // Left by an earlier run whose upload never completed: this run
        // has no image for it, so nothing waits for a reboot.
        result = ErrorCode::FileNotFound;
    } else {
        setReport(address, State::installing, report.version);
        result = boardOtaFirmwareUpgradeAuto(address);
    }
    if (result != ErrorCode::Success) {
        log(Log::Level::Info, "Could not complete auto OTA update on %s: %s",
            boards.at(address).getName().c_str(), ec2str(result).c_str());
    }
    setReport(address, uploadOutcome(result), report.version);
    saveFirmwares();
    hooks.firmwareUpgradeFinished.emit(address, result);
}

ErrorCode FirmwareUpgrades::boardOtaFirmwareUpgradeAuto(uint8_t address) {
    std::optional<Selection> const selected = selectedImage(address);
    if (!selected) {
        return ErrorCode::Success;
    }
    Firmware const& image = selected->image;
    ErrorCode const allowed = boardOtaFirmwareUpgradeAllowed(address, image.getHeader(), true);
    if (allowed != ErrorCode::Success) {
        return allowed;
    }
    ErrorCode const result = parser.boardOtaFirmwareUpgradeExecute(address, image.getBinary(), 1);
    if (result != ErrorCode::Success) {
        log(Log::Level::Error, "OTA '%s' for %s failed with '%s'. Will retry on next restart.",
            image.getFilepath().c_str(), boards.at(address).getName().c_str(),
            ec2str(result).c_str());
        return result;
    }
    moveToAccepted(*this, image.getFilepath(), selected->acceptedDir);
    return result;
}

bool FirmwareUpgrades::serviceConsoleFirmwareUpgrade() {
    std::optional<Selection> const selected = selectedImage(ServiceAddress);
    if (!selected) {
        return false;
    }
    Firmware const& image = selected->image;
    if (boardOtaFirmwareUpgradeAllowedService(image.getHeader()) != ErrorCode::Success) {
        return false;
    }
    uint8_t const version = image.getHeader().getVersion();
    setReport(ServiceAddress, State::installing, version);
    int const relay = parser.fileTransmitProgress.connect(
        [this](float percent) { hooks.firmwareUpgradeProgress.emit(ServiceAddress, percent); });
    ErrorCode const result =
        hooks.transmitFile(image.getBinary(), FirmwareIdentity::ServiceImageFile);
    parser.fileTransmitProgress.disconnect(relay);
    setReport(ServiceAddress, uploadOutcome(result), version);
    hooks.firmwareUpgradeFinished.emit(ServiceAddress, result);
    if (result != ErrorCode::Success) {
        log(Log::Level::Error,
            "OTA '%s' for ServiceConsole failed with '%s'. Will retry on next restart.",
            image.getFilepath().c_str(), ec2str(result).c_str());
        return false;
    }
    moveToAccepted(*this, image.getFilepath(), selected->acceptedDir);
    // Replaced whole: an empty file would read as version 0 and send the
    // image again at every start. Only the monitoring thread writes it.
    if (AtomicFile::write(Utils::combinePath(appPath, ServiceVersionFilePath),
                          std::to_string(version) + "\n")) {
        log(Log::Level::Info, "Updated service console firmware version to %d", version);
    } else {
        log(Log::Level::Error, "Could not update %s", ServiceVersionFilePath);
    }
    return true;
}

ErrorCode FirmwareUpgrades::firmwareUpgradeApply() {
    if (!state.with([](EngineState const& s) { return s.firmwares.rebootRequired(); })) {
        return ErrorCode::Success;
    }
    std::optional<uint8_t> psu;
    for (auto const& [address, board] : boards) {
        if (board.getName() == PowerSupplyName) {
            psu = psu.value_or(address);
        } else {
            rebootForUpgrade(address);
        }
    }
    ErrorCode result = ErrorCode::Success;
    if (psu && !hooks.poweredByMains()) {
        log(Log::Level::Warning, "Skipping PSU reboot, system is on batteries");
        result = ErrorCode::OnBatteries;
    } else if (psu) {
        state.with([&](EngineState& s) { s.firmwares.clear(); });
        saveFirmwares();
        hooks.rebootSync(*psu);
    }
    settleUpgradeState();
    return result;
}

void FirmwareUpgrades::rebootForUpgrade(uint8_t address) {
    std::optional<Firmwares::Firmware> const report = findReport(address);
    if (!report) {
        return;
    }
    ErrorCode const rebooted = hooks.rebootSync(address);
    state.with([&](EngineState& s) {
        if (rebooted == ErrorCode::Success) {
            s.firmwares.erase(address);
        } else {
            // The reboot request has dropped the report already, but the
            // board has not been seen to restart: it still waits.
            s.firmwares.insert({address, *report});
        }
    });
    saveFirmwares();
}

std::optional<FirmwareUpgrades::Selection> FirmwareUpgrades::selectedImage(uint8_t address) const {
    return state.with([&](EngineState const& s) -> std::optional<Selection> {
        auto const found = s.otaImages.find(address);
        if (found == s.otaImages.end()) {
            return std::nullopt;
        }
        return Selection{found->second, s.acceptedDir};
    });
}

std::optional<Firmwares::Firmware> FirmwareUpgrades::findReport(uint8_t address) const {
    return state.with([&](EngineState const& s) -> std::optional<Firmwares::Firmware> {
        auto const found = s.firmwares.find(address);
        if (found == s.firmwares.end()) {
            return std::nullopt;
        }
        return found->second;
    });
}

void FirmwareUpgrades::dropReport(uint8_t address) {
    std::optional<Status> const changed = state.with([&](EngineState& s) {
        s.firmwares.erase(address);
        // A run in progress settles the status itself when it ends.
        bool const waiting = s.status.getFirmwareUpgrade() == Upgrade::PendingReboot;
        return waiting ? settle(s) : std::nullopt;
    });
    saveFirmwares();
    if (changed) {
        hooks.statusChanged.emit(*changed);
    }
}

void FirmwareUpgrades::setReport(uint8_t address, State reportState, uint8_t version) {
    state.with([&](EngineState& s) { s.firmwares[address] = {reportState, version}; });
}

void FirmwareUpgrades::setFirmwareUpgradeState(Upgrade upgrade) {
    Status snapshot;
    state.with([&](EngineState& s) {
        s.status.setFirmwareUpgrade(upgrade);
        snapshot = s.status;
    });
    hooks.statusChanged.emit(snapshot);
}

void FirmwareUpgrades::settleUpgradeState() {
    std::optional<Status> const changed = state.with(settle);
    if (changed) {
        hooks.statusChanged.emit(*changed);
    }
}

} // namespace velt::ZRV480::BoardManager::Manager
