#include "support/FirmwareFixture.h"

#include <filesystem>

namespace enginetest {

BoardInfo const MainInfo{"main", 1, {}, "main", 100};
BoardInfo const PsuInfo{"psu", 2, {}, "psu", 123};
BoardInfo const LightInfo{"lights", 1, {}, "lights", 15};

BoardInfo withVersion(BoardInfo info, uint16_t version) {
    info.firmwareVersion = version;
    return info;
}

void expectReport(std::optional<Firmwares::Firmware> const& report, Firmwares::State state,
                  uint8_t version) {
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(Firmwares::stateToStr(report->state), Firmwares::stateToStr(state));
    EXPECT_EQ(report->version, version);
}

void FirmwareFixture::SetUp() {
    EngineFixture::SetUp();
    events = std::make_unique<UpgradeEvents>(*engine);
}

void FirmwareFixture::restartWithReport(std::string const& report) {
    machine.dir.write("app/boards-state.json", report);
    rebuildEngine();
    events = std::make_unique<UpgradeEvents>(*engine);
}

void FirmwareFixture::online(std::initializer_list<uint8_t> addresses) {
    startBus();
    uint32_t uptime = 0;
    ASSERT_EQ(engine->parser.heartbeat(Main, uptime), ErrorCode::Success);
    for (uint8_t address : addresses) {
        ASSERT_EQ(engine->parser.heartbeat(address, uptime), ErrorCode::Success);
    }
}

void FirmwareFixture::cacheInfo(uint8_t address, BoardInfo const& info) {
    engine->editCache(address, [&](BoardCache& cache) {
        cache.boardInfo = {ErrorCode::Success, info};
    });
}

void FirmwareFixture::runAutomatic() {
    engine->running = true;
    engine->upgrades().applyFirmwareUpgrades();
    engine->running = false;
}

std::vector<uint8_t> FirmwareFixture::image(std::string const& name, ImageHeader const& fields) {
    std::filesystem::create_directories(acceptedDir());
    return writeFirmwareImage(firmwaresDir() + "/" + name, fields);
}

std::optional<Firmwares::Firmware> FirmwareFixture::report(uint8_t address) const {
    Firmwares const reports = engine->firmwareUpgradeGet();
    auto const found = reports.find(address);
    return found == reports.end() ? std::nullopt : std::make_optional(found->second);
}

} // namespace enginetest
