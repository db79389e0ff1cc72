#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include <string>
#include <vector>

namespace enginetest {
namespace {

using testsupport::LogCapture;
using testsupport::SimulatedMachine;

constexpr uint8_t StatusCommand = 0;

// Records the order of the status signals of one board.
class StatusEvents {
public:
    StatusEvents(Engine& engine, uint8_t address) {
        for (auto& [slot, signal] : engine.getStatusSignals(address)) {
            signal.connect(
                [this, slot = slot] { events.push_back("slot " + std::to_string(slot)); });
        }
        engine.slotNStatusChanged.connect(
            [this](std::string const text) { events.push_back(text); });
    }
    std::vector<std::string> events;
};

// The numbered status slots of `address` read since the last clear, in order.
std::vector<uint8_t> slotsRead(boardsim::BoardSim const& sim, uint8_t address) {
    std::vector<uint8_t> slots;
    for (auto const& record : sim.requests()) {
        if (record.address == address && record.command == StatusCommand && record.slot != 0) {
            slots.push_back(record.slot);
        }
    }
    return slots;
}

class StatusPass : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        bringOnline(Psu);
        markInitialized(Psu);
        engine->starting = false;
        machine.sim.clearRequests();
    }

    // One pass; the numbered slots it read.
    std::vector<uint8_t> pass() {
        machine.sim.clearRequests();
        engine->monitor.handleBoardStatus(Psu);
        return slotsRead(machine.sim, Psu);
    }

    std::string const& statusName(uint8_t slot) const {
        return engine->getBoards().at(Psu).getStatuses().at(slot);
    }
};

TEST_F(StatusPass, FirstPassReadsTheWholeMaskThenOnlyFlaggedSlots) {
    EXPECT_EQ(pass(), (std::vector<uint8_t>{1, 4, 6}));
    EXPECT_TRUE(engine->getBoardCache(Psu).statusScanned);
    EXPECT_EQ(pass(), std::vector<uint8_t>{});

    // Flagged once: read at that pass and at the next, then no more.
    machine.sim.setStatus(Psu, 1u << 4, 0);
    EXPECT_EQ(pass(), std::vector<uint8_t>{4});
    machine.sim.setStatus(Psu, 0, 0);
    EXPECT_EQ(pass(), std::vector<uint8_t>{4});
    EXPECT_EQ(pass(), std::vector<uint8_t>{});

    // Error bits count as flags too.
    machine.sim.setStatus(Psu, 0, 1u << 6);
    EXPECT_EQ(pass(), std::vector<uint8_t>{6});
}

TEST_F(StatusPass, ABoardWithAnotherFirmwareHasItsWholeMaskReadOutsideStartUp) {
    engine->editCache(Psu, [](BoardCache& cache) { cache.firmwareOk = false; });
    pass();
    EXPECT_EQ(pass(), (std::vector<uint8_t>{1, 4, 6}));
    engine->starting = true;
    EXPECT_EQ(pass(), std::vector<uint8_t>{});
}

TEST_F(StatusPass, ACriticalChangeIsAWarningFollowedByBothSignals) {
    pass();
    StatusEvents signals(*engine, Psu);
    machine.sim.setStatusText(Psu, 4, 0x85, "Mains failed");
    machine.sim.setStatus(Psu, 1u << 4, 0);
    LogCapture log;
    pass();
    EXPECT_EQ(log.count("Critical error on psu: " + statusName(4) + ": Mains failed (0x85)"), 1u)
        << log.text();
    EXPECT_EQ(signals.events, (std::vector<std::string>{"slot 4", "psu/status/" + statusName(4)}));
    auto const entry = engine->getBoardCache(Psu).statuses.at(4);
    EXPECT_EQ(entry.first, ErrorCode::Success);
    EXPECT_EQ(entry.second, (std::pair<uint16_t, std::string>{0x85, "Mains failed"}));
}

TEST_F(StatusPass, AChangeBelowTheCriticalCodesIsAnInfoLine) {
    pass();
    machine.sim.setStatusText(Psu, 6, 0x7F, "On battery");
    machine.sim.setStatus(Psu, 1u << 6, 0);
    LogCapture log;
    pass();
    EXPECT_EQ(log.count("Status changed on psu: " + statusName(6) + ": On battery (0x7f)"), 1u)
        << log.text();
    EXPECT_EQ(log.count("Critical error"), 0u);
}

TEST_F(StatusPass, AnUnchangedStatusSignalsOnlyDuringStartUp) {
    pass();
    machine.sim.setStatus(Psu, 1u << 1, 0);
    StatusEvents signals(*engine, Psu);
    {
        LogCapture log;
        pass();
        EXPECT_EQ(log.text().find("Status changed"), std::string::npos);
    }
    EXPECT_TRUE(signals.events.empty());

    engine->starting = true;
    LogCapture log;
    pass();
    EXPECT_EQ(log.text().find("Status changed"), std::string::npos);
    EXPECT_EQ(signals.events, (std::vector<std::string>{"slot 1", "psu/status/" + statusName(1)}));
}

TEST_F(StatusPass, AFailedReadIsCachedAndSignalsNothing) {
    pass();
    machine.sim.setStatusText(Psu, 4, 3, "Brownout");
    machine.sim.setStatus(Psu, 1u << 4, 0);
    pass();
    StatusEvents signals(*engine, Psu);
    boardsim::Rule rule;
    rule.match = boardsim::Filter{Psu, StatusCommand, 4};
    rule.action = boardsim::Action::errorReply(0x85);
    machine.sim.addRule(rule);
    LogCapture log;
    pass();
    // The empty reply differs from the cached code: logged, not signalled.
    EXPECT_EQ(log.count("Status changed on psu: " + statusName(4) + ":  (0x00)"), 1u) << log.text();
    EXPECT_TRUE(signals.events.empty());
    EXPECT_NE(engine->getBoardCache(Psu).statuses.at(4).first, ErrorCode::Success);
}

TEST_F(StatusPass, AFatalBitInSlotZeroWarnsAtEveryPass) {
    machine.sim.setStatus(Psu, 0, 0x1);
    LogCapture log;
    pass();
    pass();
    EXPECT_EQ(log.count("Fatal error detected on psu (0x00000001)"), 2u) << log.text();
    EXPECT_EQ(log.count("Fatal status detected"), 0u);
}

TEST_F(StatusPass, HeartbeatCachesCodeAndUptime) {
    machine.sim.setUptime(Psu, 1234);
    engine->monitor.cacheHeartbeat(Psu);
    auto const heartbeat = engine->getBoardCache(Psu).heartbeat;
    EXPECT_EQ(heartbeat.first, ErrorCode::Success);
    EXPECT_EQ(heartbeat.second, 1234u);

    machine.sim.setPresent(Psu, false);
    engine->monitor.cacheHeartbeat(Psu);
    EXPECT_NE(engine->getBoardCache(Psu).heartbeat.first, ErrorCode::Success);
    EXPECT_THROW(engine->monitor.cacheHeartbeat(7), std::out_of_range);
}

// A power-supply board with a battery-detect slot 8 and two slots the pass
// can never reach: 40 (above 31) and 66, whose mask bit is bit 2 (66 mod 64),
// a slot the board does not have.
class UnusualStatusSlots : public ::testing::Test {
protected:
    static nlohmann::json scenario() {
        nlohmann::json scenario = SimulatedMachine::defaultScenario();
        for (auto& board : scenario["boards"]) {
            if (board["address"] == Psu) {
                board["statusN"]["8"] = {{"code", 0}, {"text", "BATTERY DETECT"}};
                board["statusN"]["40"] = {{"code", 1}, {"text", "High"}};
                board["statusN"]["66"] = {{"code", 1}, {"text", "Higher"}};
            }
        }
        return scenario;
    }

    static std::string schema() {
        std::string xml = SimulatedMachine::fixtureSchemaXml();
        std::string const anchor = "<name>On Battery</name>\n        </status>";
        std::string extra;
        for (char const* slot : {"8", "40", "66"}) {
            extra += "\n        <status slot=\"" + std::string(slot) +
                     "\">\n            <name>Extra " + slot + "</name>\n        </status>";
        }
        xml.insert(xml.find(anchor) + anchor.size(), extra);
        return xml;
    }

    void SetUp() override {
        ASSERT_TRUE(machine.schema.isValid());
        ASSERT_EQ(machine.schema.getBoards().at(Psu).getStatuses().size(), 7u);
        engine = makeTestEngine(machine, machine.dir.path(""), machine.dir.path("copies"));
        engine->parser.start();
        uint32_t uptime = 0;
        ASSERT_EQ(engine->parser.heartbeat(Main, uptime), ErrorCode::Success);
        ASSERT_EQ(engine->parser.heartbeat(Psu, uptime), ErrorCode::Success);
        engine->editCache(Psu, [](BoardCache& cache) { cache.firmwareOk = true; });
        engine->starting = false;
    }

    SimulatedMachine machine{scenario(), schema()};
    std::unique_ptr<TestEngine> engine;
};

TEST_F(UnusualStatusSlots, SlotsOutsideTheWordAreSkippedAndBatteryDetectIsIgnored) {
    StatusEvents signals(*engine, Psu);
    EXPECT_NO_THROW(engine->monitor.handleBoardStatus(Psu));
    EXPECT_EQ(slotsRead(machine.sim, Psu), (std::vector<uint8_t>{1, 4, 6, 8}));
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_EQ(cache.statuses.at(8).first, ErrorCode::Timeout);
    EXPECT_EQ(cache.statuses.at(40).first, ErrorCode::Timeout);
    EXPECT_EQ(cache.statuses.at(66).first, ErrorCode::Timeout);
    EXPECT_TRUE(signals.events.empty());
}

} // namespace
} // namespace enginetest
