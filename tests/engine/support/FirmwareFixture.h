#pragma once

#include "support/BoardRequests.h"
#include "support/EngineFixture.h"
#include "support/FirmwareImage.h"
#include "support/UpgradeEvents.h"

#include "bus/BoardInfo.h"
#include "engine/Firmwares.h"
#include "engine/Status.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace enginetest {

using testsupport::ImageHeader;
using testsupport::mainFile;
using testsupport::reboot;
using testsupport::upload;
using testsupport::writeFirmwareImage;
using velt::ZRV480::BoardManager::Manager::Firmwares;
using velt::ZRV480::BoardManager::Manager::Status;
using velt::ZRV480::Bus::ValueObjects::BoardInfo;

// The boards as the default scenario reports them: each at the version the
// fixture schema expects.
extern BoardInfo const MainInfo;
extern BoardInfo const PsuInfo;
extern BoardInfo const LightInfo;

BoardInfo withVersion(BoardInfo info, uint16_t version);

// Expects the report to exist with this state and version.
void expectReport(std::optional<Firmwares::Firmware> const& report, Firmwares::State state,
                  uint8_t version);

// An engine on the simulated machine whose firmware announcements are
// recorded, with images in its firmware directory.
class FirmwareFixture : public EngineFixture {
protected:
    void SetUp() override;

    // A new engine that loads `report` as its "boards-state.json".
    void restartWithReport(std::string const& report);
    // Starts the bus and lets the main board and `addresses` answer a heartbeat.
    void online(std::initializer_list<uint8_t> addresses);
    // The board's information as its initialisation caches it.
    void cacheInfo(uint8_t address, BoardInfo const& info);
    // The automatic run as the monitoring thread of a running engine does it.
    void runAutomatic();

    std::string firmwaresDir() const { return appDir() + "/firmwares"; }
    std::string acceptedDir() const { return firmwaresDir() + "/accepted"; }
    // Writes an image into the firmware directory; returns its bytes.
    std::vector<uint8_t> image(std::string const& name, ImageHeader const& fields);

    std::string reportText() const { return machine.dir.read("app/boards-state.json"); }
    std::optional<Firmwares::Firmware> report(uint8_t address) const;
    Status::FirmwareUpgrade status() const { return engine->getStatus().getFirmwareUpgrade(); }

    // Declared after the engine's owner: destroyed after the engine is gone.
    std::unique_ptr<UpgradeEvents> events;
};

} // namespace enginetest
