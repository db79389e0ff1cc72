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

TEST_F(EngineConstruction, ARebuiltCacheKeepsOnlyConfigurationsAndAttempts) {
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.initialized = true;
        cache.firmwareOk = true;
        cache.statusScanned = true;
        cache.initAttempts = 3;
        cache.heartbeat = {ErrorCode::Success, 10};
        cache.telemetries.at(1) = {ErrorCode::Success, 87};
        cache.configs.at(2) = {ErrorCode::Success, 42};
    });
    engine->monitor.rebuildCache(Psu);
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_FALSE(cache.initialized);
    EXPECT_FALSE(cache.firmwareOk);
    EXPECT_FALSE(cache.statusScanned);
    EXPECT_EQ(cache.initAttempts, 3u);
    EXPECT_EQ(cache.heartbeat.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.telemetries.at(1).first, ErrorCode::Timeout);
    EXPECT_EQ(cache.configs.at(2), (BoardCache::Entry<nlohmann::json>{ErrorCode::Success, 42}));
}

// The light board described without telemetry and configuration slots.
class SlotlessBoard : public ::testing::Test {
protected:
    static std::string schema() {
        std::string xml = testsupport::SimulatedMachine::fixtureSchemaXml();
        size_t const light = xml.find("<address>0x10</address>");
        size_t const first = xml.find("<telemetry", light);
        size_t const last = xml.find("<status", light);
        xml.erase(first, last - first);
        return xml;
    }

    testsupport::SimulatedMachine machine{testsupport::SimulatedMachine::defaultScenario(),
                                          schema()};
};

TEST_F(SlotlessBoard, GetsEmptySignalMapsAndItsBatchesReadNoSlots) {
    ASSERT_TRUE(machine.schema.isValid());
    ASSERT_TRUE(machine.schema.getBoards().at(Light).getTelemetries().empty());
    ASSERT_TRUE(machine.schema.getBoards().at(Light).getConfigs().empty());
    auto engine = makeTestEngine(machine, machine.dir.path(""), machine.dir.path("copies"));
    EXPECT_TRUE(engine->getTelemetrySignals(Light).empty());
    EXPECT_FALSE(engine->getStatusSignals(Light).empty());

    engine->parser.start();
    machine.sim.setScratchpad(Light, 4, Engine::ScratchpadMarker);
    uint32_t uptime = 0;
    ASSERT_EQ(engine->parser.heartbeat(Main, uptime), ErrorCode::Success);
    engine->editCache(Light, [](BoardCache& cache) {
        cache.initialized = true;
        cache.firmwareOk = true;
    });
    for (uint64_t cycle = 0; cycle < 3; ++cycle) {
        EXPECT_EQ(engine->monitor.cacheBatch(Light, 20, cycle), ErrorCode::Success);
    }
    constexpr uint8_t TelemetryCommand = 1;
    constexpr uint8_t ConfigGetCommand = 2;
    EXPECT_EQ(machine.sim.requestCount(boardsim::Filter{Light, TelemetryCommand}), 0u);
    EXPECT_EQ(machine.sim.requestCount(boardsim::Filter{Light, ConfigGetCommand}), 0u);
    EXPECT_GE(machine.sim.requestCount(boardsim::Filter{Light, 0, 0}), 3u); // status slot 0
}

} // namespace
} // namespace enginetest
