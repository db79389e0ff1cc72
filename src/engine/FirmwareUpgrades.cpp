// Firmware images and the rules an image's header must pass before upload.

#include "engine/FirmwareUpgrades.h"

#include "engine/FirmwareIdentity.h"

#include "bus/ErrorCode.h"
#include "bus/Firmware.h"
#include "bus/FirmwareHeader.h"
#include "foundation/CheckedLock.h"
#include "foundation/Log.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <sys/stat.h>

#include <fstream>
#include <list>
#include <string>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;
using Bus::ValueObjects::FirmwareHeader;

namespace {

// Makes the directory unless something is there already.
bool ensureDirectory(Logger const& logger, std::string const& path) {
    if (Utils::fileExists(path)) {
        return true;
    }
    logger.log(Log::Level::Info, "Creating %s directory", path.c_str());
    if (::mkdir(path.c_str(), 0755) != 0) {
        logger.log(Log::Level::Error, "Could not create directory %s", path.c_str());
        return false;
    }
    return true;
}

// How a search picks an image of the right board by its version.
enum class VersionMatch { Exact, Greater };

// The first image of the board, in file-name order, whose version matches
// `reference`. File-name order: the directory's own order would make the
// choice between two qualifying images depend on the file system.
std::optional<Bus::ValueObjects::Firmware> findImage(Logger const& logger,
                                                     std::string const& directory,
                                                     std::string const& nameWithRevision,
                                                     uint8_t reference, VersionMatch match) {
    std::list<std::string> paths = Utils::listFiles(directory, "*.bin");
    paths.sort();
    for (std::string const& path : paths) {
        Bus::ValueObjects::Firmware image(path);
        if (!image.isValid() || image.getHeader().getBoard() != nameWithRevision) {
            continue;
        }
        uint8_t const version = image.getHeader().getVersion();
        bool const selected =
            match == VersionMatch::Exact ? version == reference : version > reference;
        if (selected) {
            logger.log(Log::Level::Warning, "  - Selecting firmware '%s'", path.c_str());
            return image;
        }
        if (match == VersionMatch::Exact) {
            logger.log(Log::Level::Info,
                       "  - Skipping firmware '%s': version does not match (requested=%d, "
                       "actual=%d)",
                       path.c_str(), reference, version);
        } else {
            logger.log(Log::Level::Info,
                       "  - Skipping firmware '%s': version is not grater (current=%d, actual=%d)",
                       path.c_str(), reference, version);
        }
    }
    return std::nullopt;
}

// The header checks shared by boards and the service console: same
// firmware, same board and revision, a newer version, a releasable build.
ErrorCode checkImage(Logger const& logger, FirmwareHeader const& header,
                     std::string const& firmwareName, std::string const& nameWithRevision,
                     unsigned currentVersion) {
    if (header.getFirmware() != firmwareName) {
        logger.log(Log::Level::Info, "Firmware name does not match (%s != %s)",
                   header.getFirmware().c_str(), firmwareName.c_str());
        return ErrorCode::InvalidParameter;
    }
    if (header.getBoard() != nameWithRevision) {
        logger.log(Log::Level::Info, "Board name does not match (%s != %s)",
                   header.getBoard().c_str(), nameWithRevision.c_str());
        return ErrorCode::InvalidParameter;
    }
    if (header.getVersion() <= currentVersion) {
        logger.log(Log::Level::Info, "New firmware version must be grater (new=%d, current=%u)",
                   header.getVersion(), currentVersion);
        return ErrorCode::InvalidParameter;
    }
    if (header.getBuild() != FirmwareHeader::OTA && header.getBuild() != FirmwareHeader::RELEASE) {
        logger.log(Log::Level::Info, "New firmware build type must be RELEASE (build=%s)",
                   FirmwareHeader::buildToStr(header.getBuild()).c_str());
        return ErrorCode::InvalidParameter;
    }
    return ErrorCode::Success;
}

} // namespace

FirmwareUpgrades::FirmwareUpgrades(Bus::Parser& busParser, Guarded<EngineState>& engineState,
                                   std::map<uint8_t, Bus::Board> const& engineBoards,
                                   std::string appDir, std::atomic<bool> const& engineRunning,
                                   EngineHooks engineHooks)
    : Logger("Engine"), parser(busParser), state(engineState), boards(engineBoards),
      appPath(std::move(appDir)), running(engineRunning), hooks(std::move(engineHooks)) {}

FirmwareUpgrades::~FirmwareUpgrades() = default;

bool FirmwareUpgrades::createFirmwareDirectories() {
    std::string const images = Utils::combinePath(appPath, "firmwares");
    std::string const accepted = Utils::combinePath(appPath, "firmwares/accepted");
    if (!ensureDirectory(*this, images) || !ensureDirectory(*this, accepted)) {
        log(Log::Level::Error, "Could not create firmware sub-directories!");
        return false;
    }
    return state.with([&](EngineState& s) {
        s.firmwaresDir = images;
        s.acceptedDir = accepted;
        return true;
    });
}

std::optional<FirmwareUpgrades::Firmware>
FirmwareUpgrades::findFirmwareFile(uint8_t version, std::string const& nameWithRevision) const {
    log(Log::Level::Info, "Looking for firmware file %s version %d", nameWithRevision.c_str(),
        version);
    std::string directory;
    state.with([&](EngineState const& s) { directory = s.firmwaresDir; });
    return findImage(*this, directory, nameWithRevision, version, VersionMatch::Exact);
}

std::optional<FirmwareUpgrades::Firmware>
FirmwareUpgrades::findFirmwareFileGrater(uint8_t current,
                                         std::string const& nameWithRevision) const {
    log(Log::Level::Info, "Looking for firmware file %s grater than %d", nameWithRevision.c_str(),
        current);
    std::string directory;
    state.with([&](EngineState const& s) { directory = s.firmwaresDir; });
    return findImage(*this, directory, nameWithRevision, current, VersionMatch::Greater);
}

ErrorCode FirmwareUpgrades::boardOtaFirmwareUpgradeAllowed(uint8_t address,
                                                           FirmwareHeader const& header,
                                                           bool force) {
    std::string const trace =
        String::format("boardOtaFirmwareUpgradeAllowed(%s)%s", boards.at(address).getName().c_str(),
                       force ? " forced" : "");
    log(Log::Level::Debug, "%s", trace.c_str());

    std::pair<ErrorCode, Bus::ValueObjects::BoardInfo> cached;
    state.with([&](EngineState const& s) { cached = s.boardCaches.at(address).boardInfo; });
    auto const& [code, info] = cached;
    if (code != ErrorCode::Success) {
        log(Log::Level::Warning, "%s : %s", trace.c_str(), Bus::Common::ec2str(code).c_str());
        return code;
    }
    std::string const nameWithRevision = FirmwareIdentity::nameWithRevision(info);
    log(Log::Level::Info, "Current: %s (%s) for %s", info.firmwareName.c_str(),
        FirmwareHeader::versionToStr(static_cast<uint8_t>(info.firmwareVersion)).c_str(),
        nameWithRevision.c_str());
    if (force) {
        return ErrorCode::Success;
    }
    return checkImage(*this, header, info.firmwareName, nameWithRevision, info.firmwareVersion);
}

ErrorCode FirmwareUpgrades::boardOtaFirmwareUpgradeAllowedService(FirmwareHeader const& header) {
    log(Log::Level::Debug, "boardOtaFirmwareUpgradeAllowedService()");
    uint8_t current = 0;
    state.with([&](EngineState const& s) { current = s.serviceConsoleVersion; });
    log(Log::Level::Info, "Current: %s (%s) for %s", FirmwareIdentity::ServiceFirmwareName,
        FirmwareHeader::versionToStr(current).c_str(), FirmwareIdentity::ServiceNameWithRevision);
    return checkImage(*this, header, FirmwareIdentity::ServiceFirmwareName,
                      FirmwareIdentity::ServiceNameWithRevision, current);
}

void FirmwareUpgrades::readServiceVersion() {
    std::ifstream file(Utils::combinePath(appPath, ServiceVersionFilePath));
    std::string word;
    if (!(file >> word) || !String::isNumeric(word)) {
        return;
    }
    // Base 0 as the file has always been read: "010" is octal.
    uint8_t const version = static_cast<uint8_t>(String::toInteger(word, 0));
    state.with([&](EngineState& s) { s.serviceConsoleVersion = version; });
}

Firmwares FirmwareUpgrades::firmwareUpgradeGet() const {
    return state.with([&](EngineState const& s) { return s.firmwares; });
}

bool FirmwareUpgrades::saveFirmwares() {
    CheckedLock file(reportFileMutex);
    Firmwares const snapshot = firmwareUpgradeGet();
    return snapshot.save();
}

} // namespace velt::ZRV480::BoardManager::Manager
