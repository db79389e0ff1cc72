#pragma once

#include "engine/EngineState.h"
#include "engine/Firmwares.h"
#include "engine/Status.h"

#include "bus/Board.h"
#include "bus/ErrorCode.h"
#include "bus/Firmware.h"
#include "bus/FirmwareHeader.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Guarded.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"
#include "foundation/ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velt::ZRV480::Bus {
class Parser;
} // namespace velt::ZRV480::Bus

namespace velt::ZRV480::BoardManager::Manager {

// Name of the service console's version file in the program directory.
extern char const* const ServiceVersionFilePath;

// The firmware images, the rules an image's header must pass, the upgrade
// reports with their file, and the runs: the manual upgrade of one board on a
// worker, the automatic run at the start of the monitoring thread, and
// applying the upgrades by rebooting the boards. It logs as the engine.
//
// The reports, the selected images, the directories and the console's
// version live in the engine's `state`, under its leaf lock; reportFileMutex
// serialises the writes of the report file and is taken before that lock.
// The console's version file is written only by the monitoring thread, so it
// needs no lock of its own.
class FirmwareUpgrades : public Logger {
public:
    using ErrorCode = Bus::Common::ErrorCode;
    using Firmware = Bus::ValueObjects::Firmware;
    using FirmwareHeader = Bus::ValueObjects::FirmwareHeader;

    // The engine's signals the runs emit and what they ask the engine to do.
    struct EngineHooks {
        Signal<Status const&>& statusChanged;
        Signal<uint8_t, float>& firmwareUpgradeProgress;
        Signal<uint8_t, ErrorCode>& firmwareUpgradeFinished;
        // Runs the work on a worker the engine waits for when it stops.
        std::function<void(std::function<void()>)> startWorker;
        // Sends bytes to the main board as a file of that name.
        std::function<ErrorCode(std::vector<uint8_t> const&, std::string const&)> transmitFile;
        // Reboots the board and waits for it to answer again.
        std::function<ErrorCode(uint8_t)> rebootSync;
        std::function<bool()> poweredByMains;
    };

    // Everything given must outlive the part; `appPath` holds the report
    // file, the firmware directories and the console's version file.
    FirmwareUpgrades(Bus::Parser& parser, Guarded<EngineState>& state,
                     std::map<uint8_t, Bus::Board> const& boards, std::string appPath,
                     std::atomic<bool> const& running, EngineHooks hooks);
    ~FirmwareUpgrades() override;
    FirmwareUpgrades(FirmwareUpgrades const&) = delete;
    FirmwareUpgrades& operator=(FirmwareUpgrades const&) = delete;

    // Images and rules (FirmwareUpgrades.cpp).
    bool createFirmwareDirectories();
    std::optional<Firmware> findFirmwareFile(uint8_t version,
                                             std::string const& nameWithRevision) const;
    std::optional<Firmware> findFirmwareFileGrater(uint8_t current,
                                                   std::string const& nameWithRevision) const;
    ErrorCode boardOtaFirmwareUpgradeAllowed(uint8_t address, FirmwareHeader const& header,
                                             bool force);
    ErrorCode boardOtaFirmwareUpgradeAllowedService(FirmwareHeader const& header);
    void readServiceVersion();

    // The reports: a copy, and the file written from a copy.
    Firmwares firmwareUpgradeGet() const;
    bool saveFirmwares() EXCLUDES(reportFileMutex);

    // Runs (FirmwareUpgradesRuns.cpp).
    // Accepts or refuses at once; the upload runs on a worker.
    ErrorCode boardOtaFirmwareUpgrade(uint8_t address, std::string const& path, bool force);
    // The automatic run: selects the images, installs them, then the console's.
    void applyFirmwareUpgrades();
    ErrorCode boardOtaFirmwareUpgradeAuto(uint8_t address);
    bool serviceConsoleFirmwareUpgrade();
    // Reboots every board with a report, the power-supply board last.
    ErrorCode firmwareUpgradeApply();
    // A board that restarts (or was seen to) no longer waits: its report
    // goes, and PendingReboot with it once no other report waits.
    void dropReport(uint8_t address);

private:
    using Report = std::pair<uint8_t, Firmwares::Firmware>;

    // An image chosen for a board, and where it goes once installed.
    struct Selection {
        Firmware image;
        std::string acceptedDir;
    };

    std::optional<Selection> selectedImage(uint8_t address) const;
    void setReport(uint8_t address, Firmwares::State reportState, uint8_t version);
    std::optional<Firmwares::Firmware> findReport(uint8_t address) const;
    // Sets the firmware-upgrade state in `state`, then emits statusChanged
    // with a snapshot.
    void setFirmwareUpgradeState(Status::FirmwareUpgrade upgrade);
    // PendingReboot while any board waits for its reboot, else None;
    // statusChanged is emitted when that changes the status.
    void settleUpgradeState();

    void runManualUpgrade(uint8_t address, Firmware const& image);
    // The images of the boards not at their expected version, then the
    // console's if one is newer than its version file says.
    void selectBoardImages();
    void selectServiceImage();
    // The boards' reports to run, nothing when no image was selected.
    std::optional<std::vector<Report>> reportsToRun() const;
    // False when a stop cut the run short.
    bool upgradeBoards(std::vector<Report> const& reports);
    void upgradeBoard(uint8_t address, Firmwares::Firmware const& report);
    void rebootForUpgrade(uint8_t address);

    Bus::Parser& parser;
    Guarded<EngineState>& state;
    std::map<uint8_t, Bus::Board> const& boards;
    std::string const appPath;
    std::atomic<bool> const& running;
    EngineHooks hooks;
    CheckedMutex reportFileMutex;
};

} // namespace velt::ZRV480::BoardManager::Manager
