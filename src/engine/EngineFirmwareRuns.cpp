// Firmware upgrade runs: the manual upgrade of one board on a worker, the
// automatic run at the start of the monitoring thread, and applying the
// upgrades by rebooting the boards.

#include "engine/Engine.h"
#include "engine/FirmwareIdentity.h"

#include "bus/ErrorCode.h"
#include "bus/Firmware.h"
#include "bus/Schema.h"
#include "foundation/AtomicFile.h"
#include "foundation/Log.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using State = Firmwares::State;
using Upgrade = Status::FirmwareUpgrade;

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

// The same, read under the lock that guards the reports.
Upgrade settledState(Firmwares const& reports, std::mutex& reportsMutex) {
    std::lock_guard<std::mutex> lock(reportsMutex);
    return settledState(reports);
}

} // namespace

ErrorCode Engine::boardOtaFirmwareUpgrade(uint8_t address, std::string const& path, bool force) {
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
    uint8_t const version = image.getHeader().getVersion();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        otaImages.insert_or_assign(address, image);
        firmwares[address] = {State::installing, version};
    }
    saveFirmwares();

    startWorker([this, address, image, version] {
        uint8_t retries = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            firmwares[address] = {State::installing, version};
            retries = static_cast<uint8_t>(config.getRetransmit());
        }
        setFirmwareUpgradeState(Upgrade::InProgress);
        ErrorCode const result =
            parser.boardOtaFirmwareUpgradeExecute(address, image.getBinary(), retries);
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            firmwares[address] = {
                result == ErrorCode::Success ? State::pendingReboot : State::failed, version};
        }
        saveFirmwares();
        Status snapshot;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            status.setFirmwareUpgrade(settledState(firmwares));
            snapshot = status;
        }
        firmwareUpgradeFinished.emit(address, result);
        statusChanged.emit(snapshot);
    });
    return ErrorCode::Success;
}

void Engine::readServiceVersion() {
    std::ifstream file(Utils::combinePath(appPath, ServiceVersionFilePath));
    std::string word;
    if (!(file >> word) || !String::isNumeric(word)) {
        return;
    }
    // Base 0 as the file has always been read: "010" is octal.
    uint8_t const version = static_cast<uint8_t>(String::toInteger(word, 0));
    std::lock_guard<std::mutex> lock(stateMutex);
    serviceConsoleVersion = version;
}

// NOLINTNEXTLINE(readability-function-size): to be split with the engine
void Engine::applyFirmwareUpgrades() {
    if (!createFirmwareDirectories()) {
        return;
    }
    for (auto const& [address, board] : boards) {
        BoardInfo info;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            info = boardCaches.at(address).boardInfo.second;
        }
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
        std::lock_guard<std::mutex> lock(stateMutex);
        otaImages.insert_or_assign(address, *image);
        firmwares[address] = {State::pendingInstallation, expected};
    }

    readServiceVersion();
    uint8_t current = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        current = serviceConsoleVersion;
    }
    std::optional<Firmware> const console =
        findFirmwareFileGrater(current, FirmwareIdentity::ServiceNameWithRevision);
    if (console) {
        std::lock_guard<std::mutex> lock(stateMutex);
        otaImages.insert_or_assign(ServiceAddress, *console);
        firmwares[ServiceAddress] = {State::pendingInstallation, console->getHeader().getVersion()};
    } else {
        log(Log::Level::Info, "Could not find firmware for %s",
            FirmwareIdentity::ServiceNameWithRevision);
    }
    saveFirmwares();

    // Every report takes part, those loaded from the file included.
    std::vector<std::pair<uint8_t, Firmwares::Firmware>> reports;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (otaImages.empty()) {
            return;
        }
        for (auto const& report : firmwares) {
            if (report.first != ServiceAddress) {
                reports.push_back(report);
            }
        }
    }
    setFirmwareUpgradeState(Upgrade::InProgress);

    bool stopping = false;
    for (auto const& [address, report] : reports) {
        // A stop has cut the upload in progress short by stopping the bus
        // layer; the boards left wait for the next start.
        if (!running) {
            log(Log::Level::Info, "Engine stopping: firmware upgrades left for the next start");
            stopping = true;
            break;
        }
        bool hasImage = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            hasImage = otaImages.count(address) != 0;
        }
        ErrorCode result = ErrorCode::Success;
        if (!hasImage && report.state != State::pendingReboot) {
            // Left by an earlier run whose upload never completed: this run
            // has no image for it, so nothing waits for a reboot.
            result = ErrorCode::FileNotFound;
        } else {
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                firmwares[address] = {State::installing, report.version};
            }
            result = boardOtaFirmwareUpgradeAuto(address);
        }
        if (result != ErrorCode::Success) {
            log(Log::Level::Info, "Could not complete auto OTA update on %s: %s",
                boards.at(address).getName().c_str(), ec2str(result).c_str());
        }
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            firmwares[address] = {result == ErrorCode::Success ? State::pendingReboot
                                                               : State::failed,
                                  report.version};
        }
        saveFirmwares();
        firmwareUpgradeFinished.emit(address, result);
    }

    if (!stopping) {
        serviceConsoleFirmwareUpgrade();
    }
    saveFirmwares();
    // Reports loaded from the file count as well as those of this run.
    setFirmwareUpgradeState(settledState(firmwares, stateMutex));
}

ErrorCode Engine::boardOtaFirmwareUpgradeAuto(uint8_t address) {
    std::optional<Firmware> image;
    std::string accepted;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto const found = otaImages.find(address);
        if (found == otaImages.end()) {
            return ErrorCode::Success;
        }
        image = found->second;
        accepted = acceptedDir;
    }
    ErrorCode const allowed = boardOtaFirmwareUpgradeAllowed(address, image->getHeader(), true);
    if (allowed != ErrorCode::Success) {
        return allowed;
    }
    ErrorCode const result = parser.boardOtaFirmwareUpgradeExecute(address, image->getBinary(), 1);
    if (result != ErrorCode::Success) {
        log(Log::Level::Error, "OTA '%s' for %s failed with '%s'. Will retry on next restart.",
            image->getFilepath().c_str(), boards.at(address).getName().c_str(),
            ec2str(result).c_str());
        return result;
    }
    moveToAccepted(*this, image->getFilepath(), accepted);
    return result;
}

bool Engine::serviceConsoleFirmwareUpgrade() {
    std::optional<Firmware> image;
    std::string accepted;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto const found = otaImages.find(ServiceAddress);
        if (found == otaImages.end()) {
            return false;
        }
        image = found->second;
        accepted = acceptedDir;
    }
    if (boardOtaFirmwareUpgradeAllowedService(image->getHeader()) != ErrorCode::Success) {
        return false;
    }
    uint8_t const version = image->getHeader().getVersion();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        firmwares[ServiceAddress] = {State::installing, version};
    }
    int const relay = parser.fileTransmitProgress.connect(
        [this](float percent) { firmwareUpgradeProgress.emit(ServiceAddress, percent); });
    ErrorCode const result =
        mainFileTransmit(image->getBinary(), FirmwareIdentity::ServiceImageFile);
    parser.fileTransmitProgress.disconnect(relay);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        firmwares[ServiceAddress] = {
            result == ErrorCode::Success ? State::pendingReboot : State::failed, version};
    }
    firmwareUpgradeFinished.emit(ServiceAddress, result);
    if (result != ErrorCode::Success) {
        log(Log::Level::Error,
            "OTA '%s' for ServiceConsole failed with '%s'. Will retry on next restart.",
            image->getFilepath().c_str(), ec2str(result).c_str());
        return false;
    }
    moveToAccepted(*this, image->getFilepath(), accepted);
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

ErrorCode Engine::firmwareUpgradeApply() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!firmwares.rebootRequired()) {
            return ErrorCode::Success;
        }
    }
    std::optional<uint8_t> psu;
    for (auto const& [address, board] : boards) {
        if (board.getName() == PowerSupplyName) {
            psu = psu.value_or(address);
            continue;
        }
        std::optional<Firmwares::Firmware> report;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            auto const found = firmwares.find(address);
            if (found == firmwares.end()) {
                continue;
            }
            report = found->second;
        }
        ErrorCode const rebooted = boardRebootSync(address);
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            if (rebooted == ErrorCode::Success) {
                firmwares.erase(address);
            } else {
                // The reboot request has dropped the report already, but the
                // board has not been seen to restart: it still waits.
                firmwares.insert({address, *report});
            }
        }
        saveFirmwares();
    }

    ErrorCode result = ErrorCode::Success;
    if (psu && !poweredByMains()) {
        log(Log::Level::Warning, "Skipping PSU reboot, system is on batteries");
        result = ErrorCode::OnBatteries;
    } else if (psu) {
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            firmwares.clear();
        }
        saveFirmwares();
        boardRebootSync(*psu);
    }
    setFirmwareUpgradeState(settledState(firmwares, stateMutex));
    return result;
}

} // namespace velt::ZRV480::BoardManager::Manager
