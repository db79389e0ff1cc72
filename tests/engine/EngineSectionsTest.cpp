#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include "bus/Protocol.h"

#include <functional>
#include <string>
#include <vector>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;
using nlohmann::json;
using testsupport::LogCapture;

constexpr uint8_t ConfigSet = static_cast<uint8_t>(Protocol::Command::ConfigSet);
constexpr uint8_t FanModeSlot = 0;   // psu, enumeration Auto, Low, High
constexpr uint8_t ThresholdSlot = 2; // psu, 0..100

class Sections : public EngineFixture {
protected:
    std::string const& name(uint8_t slot) const {
        return engine->getBoards().at(Psu).getConfigs().at(slot).name;
    }
    // The name of one of the psu fan mode's values.
    std::string const& fanMode(uint8_t index) const {
        return engine->getBoards().at(Psu).getConfigEnumValues(FanModeSlot).at(index);
    }
    json stored(uint8_t address) const {
        return engine->state.with(
            [&](EngineState const& s) { return s.config.getBoardConfig(address); });
    }
};

TEST_F(Sections, TheDeviceSectionHoldsTheSettingsAndTheTransport) {
    TestEngine fresh(machine.schema, Engine::Paths{appDir(), copiesDir()});
    EXPECT_EQ(fresh.getDeviceConfig(),
              json::parse(R"({"cacheBatchSize": 20, "retransmissions": 2, "socket":
                  {"address": "10.10.10.4", "port": 10000, "timeoutMs": 100},
                  "statusPeriod": 5000, "timeoutMs": 500})"));
    EXPECT_EQ(engine->getDeviceConfig().at("socket"), machine.socketConfig());
}

TEST_F(Sections, ADeviceSectionAppliesTheKnownSettingsOnly) {
    engine->setDeviceConfig({{"statusPeriod", 1000}, {"timeoutMs", "0x28"}, {"other", 1}});
    json device = engine->getDeviceConfig();
    EXPECT_EQ(device.at("statusPeriod"), 1000);
    EXPECT_FALSE(device.contains("other"));
    EXPECT_EQ(engine->parser.configGet().udpTimeoutMs, 40);
    EXPECT_EQ(engine->parser.configGet().retransmit, Retransmissions);

    // The transport alone: the settings and the request defaults stay.
    engine->setDeviceConfig({{"socket", {{"timeoutMs", 200}}}});
    device = engine->getDeviceConfig();
    EXPECT_EQ(device.at("socket").at("timeoutMs"), 200);
    EXPECT_EQ(device.at("socket").at("port"), machine.port);
    EXPECT_EQ(device.at("statusPeriod"), 1000);
    EXPECT_EQ(engine->parser.configGet().udpTimeoutMs, 40);

    for (json const& nothing : {json(nullptr), json::object(), json::array()}) {
        engine->setDeviceConfig(nothing);
    }
    for (json const& refused : {json(5), json("text"), json::array({1})}) {
        SCOPED_TRACE(refused.dump());
        EXPECT_THROW(engine->setDeviceConfig(refused), json::exception);
    }
    EXPECT_EQ(engine->getDeviceConfig(), device);
}

TEST_F(Sections, AnUninitialisedBoardKeepsTheValuesAsReceivedWithoutSendingThem) {
    LogCapture log(Log::Level::Warning);
    engine->setBoardsConfig(
        {{"psu",
          {{name(ThresholdSlot), "no number"}, {name(FanModeSlot), "High"}, {"notASlot", 1}}},
         {"lightController", 5}});
    EXPECT_EQ(stored(Psu), json({{name(ThresholdSlot), "no number"}, {name(FanModeSlot), "High"}}));
    EXPECT_EQ(machine.sim.requestCount(Filter{Psu, ConfigSet}), 0u);
    EXPECT_EQ(log.count("Could not set lightController config: json field is not an object"), 1u);

    json const boards = engine->getBoardsConfig();
    EXPECT_EQ(boards.at("psu"), stored(Psu));
    EXPECT_TRUE(boards.at("lightController").is_null());
    EXPECT_TRUE(boards.at("mainBoard").is_null());
}

TEST_F(Sections, AnInitialisedBoardIsWrittenAndARefusedValueKeepsTheStoredOne) {
    bringOnline(Psu);
    markInitialized(Psu);
    engine->setBoardsConfig({{"psu", {{name(ThresholdSlot), 42}}}});
    EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, ThresholdSlot), 42);
    EXPECT_EQ(stored(Psu), json({{name(ThresholdSlot), 42}}));

    machine.sim.addRule(
        {Filter{Psu, ConfigSet, ThresholdSlot}, boardsim::Action::errorReply(0x86)});
    LogCapture log;
    engine->setBoardsConfig(
        {{"psu", {{name(ThresholdSlot), 77}, {name(FanModeSlot), fanMode(1)}}}});
    EXPECT_EQ(stored(Psu), json({{name(FanModeSlot), fanMode(1)}, {name(ThresholdSlot), 42}}));
    // Only names the board lacks: the stored document stays as it was.
    engine->setBoardsConfig({{"psu", {{"notASlot", 1}}}});
    EXPECT_EQ(stored(Psu), json({{name(FanModeSlot), fanMode(1)}, {name(ThresholdSlot), 42}}));
    EXPECT_EQ(log.count("Config for psu on slot '2' failed with value '77'"), 1u);
    EXPECT_EQ(log.count("Final psu config is "), 2u);

    // Names without a stored value come from the cache of an initialised board.
    json const psu = engine->getBoardsConfig().at("psu");
    EXPECT_EQ(psu.at(name(ThresholdSlot)), 42);
    EXPECT_EQ(psu.at(name(FanModeSlot)), fanMode(1));
}

TEST_F(Sections, ANameRefusedBeforeSendingLeavesTheBoardsValueToTheSection) {
    bringOnline(Psu);
    markInitialized(Psu);
    engine->editCache(Psu, [&](BoardCache& cache) {
        cache.configs.at(FanModeSlot) = {ErrorCode::Success, fanMode(1)};
    });
    LogCapture log;
    engine->setBoardsConfig({{"psu", {{name(FanModeSlot), "medium"}}}});
    EXPECT_EQ(machine.sim.requestCount(Filter{Psu, ConfigSet}), 0u);
    EXPECT_EQ(engine->getBoardsConfig().at("psu").at(name(FanModeSlot)), fanMode(1));
    // The refused set is logged as such, and no read of the value is said to fail.
    EXPECT_EQ(log.count("Skipping psu config " + name(FanModeSlot) + ": BusInvalidValue"), 1u)
        << log.text();
    EXPECT_EQ(log.count("Could not get config option '" + name(FanModeSlot)), 0u) << log.text();
}

TEST_F(Sections, AValueTheBoardAcceptsOnItsOwnIsStoredAndAnnounced) {
    engine->setBoardsConfig({{"psu", {{name(ThresholdSlot), 42}, {name(FanModeSlot), "High"}}}});
    bringOnline(Psu);
    markInitialized(Psu);
    std::vector<uint8_t> announced;
    engine->boardConfigStored.connect([&](uint8_t address) { announced.push_back(address); });

    json threshold = 55;
    ASSERT_EQ(engine->boardConfigSet(Psu, ThresholdSlot, threshold), ErrorCode::Success);
    json const written = {{name(ThresholdSlot), 55}, {name(FanModeSlot), "High"}};
    EXPECT_EQ(stored(Psu), written);
    EXPECT_EQ(engine->getBoardsConfig().at("psu"), written);
    EXPECT_EQ(announced, std::vector<uint8_t>{Psu});

    // Refused by the board: nothing stored, nothing announced.
    machine.sim.addRule(
        {Filter{Psu, ConfigSet, ThresholdSlot}, boardsim::Action::errorReply(0x86)});
    threshold = 77;
    EXPECT_NE(engine->boardConfigSet(Psu, ThresholdSlot, threshold), ErrorCode::Success);
    EXPECT_EQ(stored(Psu), written);
    EXPECT_EQ(announced, std::vector<uint8_t>{Psu});
}

TEST_F(Sections, ABoardWhoseValuesCannotBeReadKeepsTheValuesLastAnswered) {
    struct Case {
        char const* unreadable;
        std::function<void()> make;
    };
    Case const cases[] = {
        {"not initialised",
         [&] { engine->editCache(Psu, [](BoardCache& cache) { cache.initialized = false; }); }},
        {"another firmware",
         [&] {
             engine->editCache(Psu, [](BoardCache& cache) {
                 cache.firmwareOk = false; // and its values as the monitoring loop leaves them
                 for (auto& entry : cache.configs) {
                     entry.second = {ErrorCode::InvalidBoardVersion, nullptr};
                 }
             });
         }},
        {"offline",
         [&] {
             machine.sim.setPresent(Psu, false);
             uint32_t uptime = 0;
             engine->parser.heartbeat(Psu, uptime);
             ASSERT_FALSE(engine->parser.isOnline(Psu));
         }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.unreadable);
        rebuildEngine();
        bringOnline(Psu);
        markInitialized(Psu);
        // Values the file never held: read from the board only.
        engine->editCache(Psu, [&](BoardCache& cache) {
            cache.configs[ThresholdSlot] = {ErrorCode::Success, 42};
            cache.configs[FanModeSlot] = {ErrorCode::Success, fanMode(1)};
        });
        json const answered = engine->getBoardsConfig().at("psu");
        ASSERT_EQ(answered.at(name(ThresholdSlot)), 42);

        c.make();
        EXPECT_EQ(engine->getBoardsConfig().at("psu"), answered);
        machine.sim.setPresent(Psu, true);
    }
}

} // namespace
} // namespace enginetest
