#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include <fstream>

namespace enginetest {
namespace {

using velt::ZRV480::BoardManager::Manager::Status;

class EngineConstruction : public EngineFixture {
protected:
    // An engine that nothing has touched after construction.
    std::unique_ptr<TestEngine> freshEngine() {
        engine.reset();
        return std::make_unique<TestEngine>(machine.schema, Engine::Paths{appDir(), copiesDir()});
    }

    std::string reportText() const { return machine.dir.read("app/boards-state.json"); }
};

TEST_F(EngineConstruction, HandsTheDefaultRequestSettingsToTheBusAndSendsNothing) {
    auto const fresh = freshEngine();
    auto const config = fresh->parser.configGet();
    EXPECT_EQ(config.udpTimeoutMs, 500);
    EXPECT_EQ(config.retransmit, 2u);
    EXPECT_TRUE(machine.sim.requests().empty());
    EXPECT_FALSE(fresh->getIsRunning());
    EXPECT_TRUE(fresh->starting);
}

TEST_F(EngineConstruction, WritesAnEmptyReportWhenTheFileIsMissingOrBad) {
    EXPECT_EQ(reportText(), "{}");
    for (std::string const bad : {"[]", "not json", "5"}) {
        machine.dir.write("app/boards-state.json", bad);
        freshEngine();
        EXPECT_EQ(reportText(), "{}") << bad;
    }
}

TEST_F(EngineConstruction, PendingRebootInTheReportSetsTheStatusWithoutASignal) {
    machine.dir.write("app/boards-state.json",
                      R"({"psu":{"state":"pendingReboot","version":124}})");
    auto const fresh = freshEngine();
    EXPECT_EQ(fresh->getStatus().getFirmwareUpgrade(), Status::FirmwareUpgrade::PendingReboot);
    // Loaded as it was: the file is not rewritten.
    EXPECT_EQ(reportText(), R"({"psu":{"state":"pendingReboot","version":124}})");
    EXPECT_EQ(fresh->firmwareUpgradeGet().size(), 1u);
}

TEST_F(EngineConstruction, BuildsOneCacheAndOneSignalPerSlot) {
    for (auto const& [address, board] : engine->getBoards()) {
        EXPECT_EQ(engine->getTelemetrySignals(address).size(), board.getTelemetries().size());
        EXPECT_EQ(engine->getStatusSignals(address).size(), board.getStatuses().size());
        BoardCache const cache = engine->getBoardCache(address);
        EXPECT_EQ(cache.configs.size(), board.getConfigs().size());
        EXPECT_FALSE(cache.initialized);
    }
    EXPECT_THROW(engine->getTelemetrySignals(7), std::out_of_range);
}

TEST_F(EngineConstruction, RelaysTheBusLayersProgress) {
    std::vector<float> transmit;
    std::vector<std::pair<uint8_t, float>> upgrade;
    engine->fileTransmitProgress.connect([&](float percent) { transmit.push_back(percent); });
    engine->firmwareUpgradeProgress.connect(
        [&](uint8_t address, float percent) { upgrade.emplace_back(address, percent); });
    engine->parser.fileTransmitProgress.emit(40.0f);
    engine->parser.firmwareUpgradeProgress.emit(Psu, 60.0f);
    EXPECT_EQ(transmit, std::vector<float>{40.0f});
    EXPECT_EQ(upgrade, (std::vector<std::pair<uint8_t, float>>{{Psu, 60.0f}}));
}

} // namespace
} // namespace enginetest
