// Firmware upgrade runs: the manual upgrade of one board on a worker, the
// automatic run at the start of the monitoring thread, and applying the
// upgrades by rebooting the boards.

#include "engine/Engine.h"
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
#include <fstream>
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
    state.with([&](EngineState& s) {
        s.otaImages.insert_or_assign(address, image);
        s.firmwares[address] = {State::installing, version};
    });
    saveFirmwares();

    startWorker([this, address, image, version] {
        uint8_t retries = 0;
        state.with([&](EngineState& s) {
            s.firmwares[address] = {State::installing, version};
            retries = static_cast<uint8_t>(s.config.getRetransmit());
        });
        setFirmwareUpgradeState(Upgrade::InProgress);
        ErrorCode const result =
            parser.boardOtaFirmwareUpgradeExecute(address, image.getBinary(), retries);
        state.with([&](EngineState& s) {
            s.firmwares[address] = {
                result == ErrorCode::Success ? State::pendingReboot : State::failed, version};
        });
        saveFirmwares();
        Status snapshot;
        state.with([&](EngineState& s) {
            s.status.setFirmwareUpgrade(settledState(s.firmwares));
            snapshot = s.status;
        });
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
    state.with([&](EngineState& s) { s.serviceConsoleVersion = version; });
}

void Engine::applyFirmwareUpgrades() {
    if (!createFirmwareDirectories()) {
        return;
    }
    for (auto const& [address, board] : boards) {
        BoardInfo info;
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

    readServiceVersion();
    uint8_t current = 0;
    state.with([&](EngineState const& s) { current = s.serviceConsoleVersion; });
    std::optional<Firmware> const console =
        findFirmwareFileGrater(current, FirmwareIdentity::ServiceNameWithRevision);
    if (console) {
        state.with([&](EngineState& s) {
            s.otaImages.insert_or_assign(ServiceAddress, *console);
            s.firmwares[ServiceAddress] = {State::pendingInstallation,
                                           console->getHeader().getVersion()};
        });
    } else {
        log(Log::Level::Info, "Could not find firmware for %s",
            FirmwareIdentity::ServiceNameWithRevision);
    }
    saveFirmwares();

    // Every report takes part, those loaded from the file included.
    std::vector<std::pair<uint8_t, Firmwares::Firmware>> reports;
    bool const anyImage = state.with([&](EngineState const& s) {
        if (s.otaImages.empty()) {
            return false;
        }
        for (auto const& report : s.firmwares) {
            if (report.first != ServiceAddress) {
                reports.push_back(report);
            }
        }
        return true;
    });
    if (!anyImage) {
        return;
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
        state.with([&, address = address](EngineState const& s) {
            hasImage = s.otaImages.count(address) != 0;
        });
        ErrorCode result = ErrorCode::Success;
        if (!hasImage && report.state != State::pendingReboot) {
            // Left by an earlier run whose upload never completed: this run
            // has no image for it, so nothing waits for a reboot.
            result = ErrorCode::FileNotFound;
        } else {
            state.with([&, address = address, &report = report](EngineState& s) {
                s.firmwares[address] = {State::installing, report.version};
            });
            result = boardOtaFirmwareUpgradeAuto(address);
        }
        if (result != ErrorCode::Success) {
            log(Log::Level::Info, "Could not complete auto OTA update on %s: %s",
                boards.at(address).getName().c_str(), ec2str(result).c_str());
        }
        state.with([&, address = address, &report = report](EngineState& s) {
            s.firmwares[address] = {result == ErrorCode::Success ? State::pendingReboot
                                                                 : State::failed,
                                    report.version};
        });
        saveFirmwares();
        firmwareUpgradeFinished.emit(address, result);
    }

    if (!stopping) {
        serviceConsoleFirmwareUpgrade();
    }
    saveFirmwares();
    // Reports loaded from the file count as well as those of this run.
    setFirmwareUpgradeState(
        state.with([](EngineState const& s) { return settledState(s.firmwares); }));
}

ErrorCode Engine::boardOtaFirmwareUpgradeAuto(uint8_t address) {
    std::optional<Firmware> image;
    std::string accepted;
    state.with([&](EngineState const& s) {
        auto const found = s.otaImages.find(address);
        if (found != s.otaImages.end()) {
            image = found->second;
            accepted = s.acceptedDir;
        }
    });
    if (!image) {
        return ErrorCode::Success;
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
    state.with([&](EngineState const& s) {
        auto const found = s.otaImages.find(ServiceAddress);
        if (found != s.otaImages.end()) {
            image = found->second;
            accepted = s.acceptedDir;
        }
    });
    if (!image) {
        return false;
    }
    if (boardOtaFirmwareUpgradeAllowedService(image->getHeader()) != ErrorCode::Success) {
        return false;
    }
    uint8_t const version = image->getHeader().getVersion();
    state.with([&](EngineState& s) { s.firmwares[ServiceAddress] = {State::installing, version}; });
    int const relay = parser.fileTransmitProgress.connect(
        [this](float percent) { firmwareUpgradeProgress.emit(ServiceAddress, percent); });
    ErrorCode const result =
        mainFileTransmit(image->getBinary(), FirmwareIdentity::ServiceImageFile);
    parser.fileTransmitProgress.disconnect(relay);
    state.with([&](EngineState& s) {
        s.firmwares[ServiceAddress] = {
            result == ErrorCode::Success ? State::pendingReboot : State::failed, version};
    });
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
    if (!state.with([](EngineState const& s) { return s.firmwares.rebootRequired(); })) {
        return ErrorCode::Success;
    }
    std::optional<uint8_t> psu;
    for (auto const& [address, board] : boards) {
        if (board.getName() == PowerSupplyName) {
            psu = psu.value_or(address);
            continue;
        }
        std::optional<Firmwares::Firmware> const report = state.with(
            [&, address = address](EngineState const& s) -> std::optional<Firmwares::Firmware> {
                auto const found = s.firmwares.find(address);
                if (found == s.firmwares.end()) {
                    return std::nullopt;
                }
                return found->second;
            });
        if (!report) {
            continue;
        }
        ErrorCode const rebooted = boardRebootSync(address);
        state.with([&, address = address](EngineState& s) {
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

    ErrorCode result = ErrorCode::Success;
    if (psu && !poweredByMains()) {
        log(Log::Level::Warning, "Skipping PSU reboot, system is on batteries");
        result = ErrorCode::OnBatteries;
    } else if (psu) {
        state.with([&](EngineState& s) { s.firmwares.clear(); });
        saveFirmwares();
        boardRebootSync(*psu);
    }
    setFirmwareUpgradeState(
        state.with([](EngineState const& s) { return settledState(s.firmwares); }));
    return result;
}

} // namespace velt::ZRV480::BoardManager::Manager
