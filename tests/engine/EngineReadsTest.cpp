#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include <string>

namespace enginetest {
namespace {

using testsupport::LogCapture;

constexpr uint8_t TelemetryCommand = 1;
constexpr uint8_t ConfigGetCommand = 2;

class SlotReads : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        bringOnline(Psu);
        bringOnline(Light);
        markInitialized(Psu);
        markInitialized(Light);
        machine.sim.clearRequests();
    }

    // Every request to `address` with `command` fails on the board's side.
    void refuse(uint8_t address, uint8_t command) {
        boardsim::Rule rule;
        rule.match = boardsim::Filter{address, command};
        rule.action = boardsim::Action::errorReply(0x85);
        machine.sim.addRule(rule);
    }

    size_t requests(uint8_t address) const {
        return machine.sim.requestCount(boardsim::Filter{address});
    }
};

TEST_F(SlotReads, ValuesTakeTheJsonFormOfTheirSlotType) {
    struct Case {
        uint8_t address;
        bool telemetry;
        uint8_t slot;
        nlohmann::json expected;
    };
    Case const cases[] = {
        {Psu, true, 0, 24.12},                                  // Double, multiplier 100
        {Psu, true, 1, 87},                                     // Int32
        {Psu, true, 2, true},                                   // Bool
        {Light, true, 1, {{"r", 255}, {"g", 128}, {"b", 0}}},   // Color
        {Psu, false, 0, "auto"},                                // Enum: the value's name
        {Psu, false, 4, 13.8},                                  // Double configuration
        {Light, false, 20, {{"r", 255}, {"g", 128}, {"b", 0}}}, // Color configuration
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::to_string(c.address) + "/" + std::to_string(c.slot));
        if (c.telemetry) {
            engine->monitor.cacheTelemetry(c.address, c.slot);
        } else {
            engine->monitor.cacheConfig(c.address, c.slot);
        }
        BoardCache const cache = engine->getBoardCache(c.address);
        auto const& entry = c.telemetry ? cache.telemetries.at(c.slot) : cache.configs.at(c.slot);
        EXPECT_EQ(entry.first, ErrorCode::Success);
        if (c.expected.is_number_float()) {
            EXPECT_DOUBLE_EQ(entry.second.get<double>(), c.expected.get<double>());
        } else {
            EXPECT_EQ(entry.second, c.expected);
        }
    }
}

TEST_F(SlotReads, ATelemetrySignalFiresOnlyWhenTheValueChanges) {
    int emitted = 0;
    engine->getTelemetrySignals(Psu).at(1).connect([&] { ++emitted; });
    engine->monitor.cacheTelemetry(Psu, 1);
    engine->monitor.cacheTelemetry(Psu, 1);
    EXPECT_EQ(emitted, 1);
    machine.sim.setRaw(Psu, boardsim::SlotTable::Telemetry, 1, 55);
    engine->monitor.cacheTelemetry(Psu, 1);
    EXPECT_EQ(emitted, 2);
    EXPECT_EQ(engine->getBoardCache(Psu).telemetries.at(1).second, 55);
}

TEST_F(SlotReads, ARepeatedFailureIsLoggedOnceAndNotSignalled) {
    int emitted = 0;
    engine->getTelemetrySignals(Psu).at(1).connect([&] { ++emitted; });
    refuse(Psu, TelemetryCommand);
    LogCapture log;
    engine->monitor.cacheTelemetry(Psu, 1);
    engine->monitor.cacheTelemetry(Psu, 1);
    std::string const name = engine->getBoards().at(Psu).getTelemetries().at(1).name;
    EXPECT_EQ(log.count("[psu] Telemetry[1] '" + name + "' error detected: "), 1u) << log.text();
    EXPECT_EQ(emitted, 0);
    auto const entry = engine->getBoardCache(Psu).telemetries.at(1);
    EXPECT_NE(entry.first, ErrorCode::Success);
    EXPECT_TRUE(entry.second.is_null());

    // The same for a configuration slot.
    refuse(Psu, ConfigGetCommand);
    LogCapture configLog;
    engine->monitor.cacheConfig(Psu, 2);
    engine->monitor.cacheConfig(Psu, 2);
    std::string const option = engine->getBoards().at(Psu).getConfigs().at(2).name;
    EXPECT_EQ(configLog.count("[psu] Config[2] '" + option + "' error detected: "), 1u)
        << configLog.text();
}

TEST_F(SlotReads, ABoardWithAnotherFirmwareCachesInvalidVersionWithoutTraffic) {
    engine->editCache(Psu, [](BoardCache& cache) { cache.firmwareOk = false; });
    LogCapture log;
    engine->monitor.cacheTelemetry(Psu, 1);
    engine->monitor.cacheConfig(Psu, 2);
    EXPECT_EQ(requests(Psu), 0u);
    EXPECT_EQ(log.text(), "");
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_EQ(cache.telemetries.at(1),
              (BoardCache::Entry<nlohmann::json>{ErrorCode::InvalidBoardVersion, nullptr}));
    EXPECT_EQ(cache.configs.at(2),
              (BoardCache::Entry<nlohmann::json>{ErrorCode::InvalidBoardVersion, nullptr}));
}

TEST_F(SlotReads, AnEnumTelemetryIsRefusedWithoutTraffic) {
    LogCapture log;
    engine->monitor.cacheTelemetry(Psu, 3);
    engine->monitor.cacheTelemetry(Psu, 3);
    EXPECT_EQ(requests(Psu), 0u);
    EXPECT_EQ(log.count("Can't have enum in telemetry"), 2u);
    EXPECT_EQ(engine->getBoardCache(Psu).telemetries.at(3),
              (BoardCache::Entry<nlohmann::json>{ErrorCode::InvalidParameter, nullptr}));
}

TEST_F(SlotReads, AnEnumValueWithoutANameIsAnError) {
    machine.sim.setRaw(Psu, boardsim::SlotTable::Config, 0, 7);
    LogCapture log;
    engine->monitor.cacheConfig(Psu, 0);
    EXPECT_EQ(log.count("Unknown enum value for psu slot 0: 7"), 1u) << log.text();
    EXPECT_EQ(engine->getBoardCache(Psu).configs.at(0),
              (BoardCache::Entry<nlohmann::json>{ErrorCode::InvalidParameter, nullptr}));
}

TEST_F(SlotReads, SlotsTheBoardLacks) {
    LogCapture log;
    engine->monitor.cacheConfig(Psu, 3);
    EXPECT_EQ(log.count("Not a valid option slot for psu: '3'"), 1u) << log.text();
    EXPECT_EQ(engine->getBoardCache(Psu).configs.count(3), 0u);
    EXPECT_EQ(requests(Psu), 0u);
    EXPECT_THROW(engine->monitor.cacheTelemetry(Psu, 9), std::out_of_range);
    EXPECT_THROW(engine->monitor.cacheTelemetry(7, 0), std::out_of_range);
}

} // namespace
} // namespace enginetest
