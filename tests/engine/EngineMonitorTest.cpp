#include "support/EngineEvents.h"
#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include "bus/Protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;
using testsupport::LogCapture;
using Command = Protocol::Command;
using namespace std::chrono_literals;

constexpr uint8_t FanModeSlot = 0;   // psu "Fan Mode": auto, low, high
constexpr uint8_t ThresholdSlot = 2; // psu "Battery Low Threshold", 0..100

uint8_t code(Command command) {
    return static_cast<uint8_t>(command);
}

// The requests to one board since the simulator's log was cleared, by kind.
struct Traffic {
    size_t heartbeats = 0;
    size_t scratchpadReads = 0;
    size_t slot0Reads = 0;
    std::vector<uint8_t> statusSlots;
    std::vector<uint8_t> configSlots;
    std::vector<uint8_t> telemetrySlots;
    size_t mainExtras = 0; // network, clock and bus report reads

    Traffic(boardsim::BoardSim const& sim, uint8_t address) {
        for (auto const& request : sim.requests()) {
            if (request.address != address) {
                continue;
            }
            auto const command = static_cast<Command>(request.command);
            if (command == Command::Heartbeat) {
                ++heartbeats;
            } else if (command == Command::Status && request.slot == 0) {
                ++slot0Reads;
            } else if (command == Command::Status) {
                statusSlots.push_back(request.slot);
            } else if (command == Command::ConfigGet) {
                configSlots.push_back(request.slot);
            } else if (command == Command::Telemetry) {
                telemetrySlots.push_back(request.slot);
            } else if (command == Command::Misc && request.slot == Protocol::Misc::Scratchpad &&
                       !request.payload.empty() &&
                       request.payload[0] == Protocol::Scratchpad::Read) {
                ++scratchpadReads;
            } else if (command == Command::Misc && (request.slot == Protocol::Misc::Clock ||
                                                    request.slot == Protocol::Misc::Network ||
                                                    request.slot == Protocol::Misc::BusReport)) {
                ++mainExtras;
            }
        }
    }
};

// Every board of the machine initialised as at start-up, the loop not running.
class MonitorBatch : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        startBus();
        for (uint8_t address : {Main, Psu, Light}) {
            ASSERT_EQ(engine->boardInitStartup(address), ErrorCode::Success);
        }
        engine->starting = false;
        machine.sim.clearRequests();
    }

    Traffic batch(uint8_t address, uint64_t batchSize, uint64_t cycle,
                  ErrorCode expected = ErrorCode::Success) {
        machine.sim.clearRequests();
        EXPECT_EQ(engine->monitor.cacheBatch(address, batchSize, cycle), expected);
        return Traffic(machine.sim, address);
    }
};

TEST_F(MonitorBatch, ABatchReadsHeartbeatStatusOneConfigurationAndBatchSizePlusOneTelemetries) {
    // psu: telemetry slots 0-3, configuration slots 0, 1, 2 and 4. Slot 3
    // is an enumeration, which the engine does not read over the bus: its
    // turns come and go without a request.
    Traffic first = batch(Psu, 5, 1);
    EXPECT_EQ(first.heartbeats, 1u);
    EXPECT_EQ(first.scratchpadReads, 1u);
    EXPECT_EQ(first.slot0Reads, 1u);
    EXPECT_EQ(first.configSlots, std::vector<uint8_t>{0});
    EXPECT_EQ(first.telemetrySlots, (std::vector<uint8_t>{0, 1, 2, 0, 1}));
    EXPECT_EQ(first.mainExtras, 0u);

    // The cursors go on where the last batch left them.
    Traffic second = batch(Psu, 5, 2);
    EXPECT_EQ(second.configSlots, std::vector<uint8_t>{1});
    EXPECT_EQ(second.telemetrySlots, (std::vector<uint8_t>{2, 0, 1, 2}));

    // The main board's network, clock and bus report: every tenth cycle only.
    EXPECT_EQ(batch(Main, 20, 0).mainExtras, 7u);
    EXPECT_EQ(batch(Main, 20, 1).mainExtras, 0u);
    EXPECT_EQ(batch(Psu, 20, 0).mainExtras, 0u);
    EXPECT_EQ(batch(Main, 20, 0).telemetrySlots.size(), 21u);
}

TEST_F(MonitorBatch, APowerCycledBoardIsReinitialisedWithItsConfigurationEveryTime) {
    nlohmann::json threshold = 42;
    ASSERT_EQ(engine->boardConfigSet(Psu, ThresholdSlot, threshold), ErrorCode::Success);
    // More power cycles than an initialisation may fail in a row.
    for (int round = 1; round <= 6; ++round) {
        SCOPED_TRACE(round);
        machine.sim.powerCycle(Psu);
        ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
        ASSERT_NE(machine.sim.raw(Psu, boardsim::SlotTable::Config, ThresholdSlot), 42);
        EngineEvents events(*engine);
        LogCapture log(Log::Level::Warning);

        // The rebuilt cache has not been scanned: the whole mask is read.
        EXPECT_EQ(batch(Psu, 20, 1).statusSlots, (std::vector<uint8_t>{1, 4, 6}));
        EXPECT_EQ(events.count("online 1"), 1u);
        EXPECT_EQ(log.count("Scratchpad of psu [0x00000000] does not match expected "
                            "[0xdeadbeaf]. Reboot detected!"),
                  1u);
        BoardCache const cache = engine->getBoardCache(Psu);
        EXPECT_TRUE(cache.initialized);
        EXPECT_TRUE(cache.firmwareOk);
        EXPECT_EQ(machine.sim.scratchpad(Psu, Engine::ScratchpadCell), Engine::ScratchpadMarker);
        EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, ThresholdSlot), 42);
    }
}

TEST_F(MonitorBatch, OfflineAndOnlineEdgesAreAnnouncedOnceEach) {
    EngineEvents events(*engine);
    for (int dropOut = 1; dropOut <= 2; ++dropOut) {
        SCOPED_TRACE(dropOut);
        machine.sim.setPresent(Psu, false);
        for (int cycle = 0; cycle < 3; ++cycle) {
            Traffic const offline = batch(Psu, 20, 1, ErrorCode::BusTimeout);
            EXPECT_EQ(offline.scratchpadReads + offline.telemetrySlots.size(), 0u);
        }
        EXPECT_EQ(events.count("offline 1"), size_t(dropOut));
        EXPECT_FALSE(engine->getBoardCache(Psu).initialized);

        machine.sim.setPresent(Psu, true);
        batch(Psu, 20, 1);
        batch(Psu, 20, 1);
        EXPECT_EQ(events.count("online 1"), size_t(dropOut));
        EXPECT_TRUE(engine->getBoardCache(Psu).initialized);
    }
}

TEST_F(MonitorBatch, ABoardWithAnotherFirmwareIsInitialisedOnceAndServedWithoutValues) {
    auto info = machine.sim.boardInfo(Psu);
    info.firmwareVersion = 99;
    machine.sim.setBoardInfo(Psu, info);
    machine.sim.powerCycle(Psu);
    ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
    LogCapture log(Log::Level::Error);

    batch(Psu, 20, 1);
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_TRUE(cache.initialized);
    EXPECT_FALSE(cache.firmwareOk);
    EXPECT_EQ(machine.sim.scratchpad(Psu, Engine::ScratchpadCell), Engine::ScratchpadMarker);
    // Not tried again; its values are not read from the board.
    Traffic const next = batch(Psu, 20, 1);
    EXPECT_EQ(next.telemetrySlots.size(), 0u);
    EXPECT_EQ(next.configSlots.size(), 0u);
    EXPECT_EQ(log.count("psu: Firmware version not known! (expected=123, actual=99)"), 1u);
}

TEST_F(MonitorBatch, ARequestLostOnTheWireIsTheDropOutOfItsOwnBoardOnly) {
    batch(Light, 20, 1); // its values in the cache
    EngineEvents events(*engine);
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        // Every attempt of one telemetry read of the power supply is lost:
        // the bus goes offline in the middle of its batch.
        machine.sim.addRule({Filter{Psu, code(Command::Telemetry)}, boardsim::Action::dropReply(),
                             0, uint32_t(1 + Retransmissions)});
        batch(Main, 20, 1);
        batch(Psu, 20, 1);
        EXPECT_EQ(events.count("offline 1"), size_t(round));
        EXPECT_FALSE(engine->getBoardCache(Psu).initialized);
        // The light controller behind it is not asked, nor blamed; while the
        // bus is away its values answer Timeout.
        Traffic const held = batch(Light, 20, 1, ErrorCode::Timeout);
        EXPECT_EQ(held.heartbeats, 0u);
        nlohmann::json value;
        Engine::BoardInfo info;
        EXPECT_EQ(engine->boardTelemetryGet(Light, 0, value), ErrorCode::Timeout);
        EXPECT_EQ(engine->boardInfoGet(Light, info), ErrorCode::Timeout);

        // Once the main board answers, its values are served again, before
        // the power supply is back.
        batch(Main, 20, 1);
        EXPECT_EQ(engine->boardTelemetryGet(Light, 0, value), ErrorCode::Success);
        EXPECT_EQ(engine->boardInfoGet(Light, info), ErrorCode::Success);
        EXPECT_EQ(info.firmwareVersion, machine.sim.boardInfo(Light).firmwareVersion);
        EXPECT_EQ(engine->boardInfoGet(Psu, info), ErrorCode::Timeout);
        batch(Psu, 20, 1);
        EXPECT_EQ(events.count("online 1"), size_t(round));
        EXPECT_TRUE(engine->getBoardCache(Psu).initialized);
        machine.sim.clearRequests();
        EXPECT_EQ(engine->monitor.cacheBatch(Light, 20, 1), ErrorCode::Success);
        EXPECT_EQ(machine.sim.requestCount(Filter{Light, code(Command::ConfigSet)}), 0u);
    }
    EXPECT_EQ(events.count("offline 16") + events.count("online 16"), 0u);
    EXPECT_TRUE(engine->getBoardCache(Light).initialized);
}

TEST_F(MonitorBatch, AnotherCallersLostRequestIsNoBoardsDropOut) {
    EngineEvents events(*engine);
    machine.sim.addRule({Filter{Psu, code(Command::ConfigSet)}, boardsim::Action::dropReply()});
    nlohmann::json threshold = 42;
    ASSERT_EQ(engine->boardConfigSet(Psu, ThresholdSlot, threshold), ErrorCode::Timeout);

    // The bus is offline: the batches end at once until the main board answers.
    EXPECT_EQ(batch(Light, 20, 1, ErrorCode::Timeout).heartbeats, 0u);
    batch(Main, 20, 1);
    batch(Psu, 20, 1);
    batch(Light, 20, 1);
    EXPECT_TRUE(events.all().empty());
    EXPECT_TRUE(engine->getBoardCache(Psu).initialized);
    EXPECT_TRUE(engine->getBoardCache(Light).initialized);
}

TEST_F(MonitorBatch, ABoardWithAnotherFirmwareKeepsBeingReadAcrossPowerCycles) {
    auto info = machine.sim.boardInfo(Psu);
    info.firmwareVersion = 99;
    machine.sim.setBoardInfo(Psu, info);
    // More power cycles than an initialisation may fail in a row.
    for (int round = 1; round <= 6; ++round) {
        SCOPED_TRACE(round);
        machine.sim.powerCycle(Psu);
        ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
        batch(Psu, 20, 1);
        EXPECT_EQ(machine.sim.scratchpad(Psu, Engine::ScratchpadCell), Engine::ScratchpadMarker);
    }
    machine.sim.setStatusText(Psu, 4, 0x85, "No mains");
    LogCapture log(Log::Level::Warning);
    EXPECT_EQ(batch(Psu, 20, 1).statusSlots, (std::vector<uint8_t>{1, 4, 6}));
    EXPECT_EQ(log.count("Critical error on psu: mainsLost: No mains (0x85)"), 1u);
    std::pair<uint64_t, std::string> mains;
    EXPECT_EQ(engine->boardStatusSlotNGet(Psu, 4, mains), ErrorCode::Success);
    EXPECT_EQ(mains, (std::pair<uint64_t, std::string>{0x85, "No mains"}));
}

TEST_F(MonitorBatch, AGivenUpBoardFoundRebootedServesNoStaleStatus) {
    // Its marker is never written: every initialisation fails.
    machine.sim.addRule(
        {Filter{Psu, code(Command::Misc), Protocol::Misc::Scratchpad, Protocol::Scratchpad::Write},
         boardsim::Action::errorReply(0x86)});
    for (int round = 1; round <= 6; ++round) {
        SCOPED_TRACE(round);
        machine.sim.powerCycle(Psu);
        ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
        batch(Psu, 20, 1);
    }
    std::pair<uint64_t, std::string> mains;
    EXPECT_EQ(engine->boardStatusSlotNGet(Psu, 4, mains), ErrorCode::Timeout);
}

TEST_F(MonitorBatch, TheMainBoardsNetworkIsNotReadYetAfterItsRebootUntilReadAgain) {
    machine.sim.powerCycle(Main);
    ASSERT_TRUE(machine.sim.waitBooted(Main, 2000));
    Engine::Ip ip{};
    Engine::Ip netmask{};
    Engine::Ip gateway{};
    velt::ZRV480::Bus::BusReport report{};
    for (int cycle = 1; cycle <= 2; ++cycle) {
        batch(Main, 20, cycle);
        EXPECT_EQ(engine->mainNetworkIpGet(ip, netmask, gateway), ErrorCode::Timeout);
        EXPECT_EQ(engine->mainBusStatisticsGet(report), ErrorCode::Timeout);
    }
    batch(Main, 20, 0);
    EXPECT_EQ(engine->mainNetworkIpGet(ip, netmask, gateway), ErrorCode::Success);
    EXPECT_EQ(netmask, machine.sim.network().netmask);
    EXPECT_EQ(engine->mainBusStatisticsGet(report), ErrorCode::Success);
}

// A started engine on the simulated machine whose absent boards are silent.
class MonitorLoop : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        machine.sim.putFile("schema.xml", machine.schema.getBinary());
        machine.sim.setAbsentMode(boardsim::Silence::Silent);
    }

    // Waits (bounded) until the board's cache is initialised.
    bool waitInitialized(uint8_t address) const {
        for (int wait = 0; wait < 1000; ++wait) {
            if (engine->getBoardCache(address).initialized) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Clears the simulator's log and lets `cycles` monitoring cycles run.
    void runCycles(size_t cycles) {
        machine.sim.clearRequests();
        ASSERT_TRUE(machine.sim.waitFor(Filter{Main, code(Command::Heartbeat)}, cycles, 20000));
    }
};

// The power supply absent from the start, or silent since it stopped
// answering while the engine ran: every other board is served as before.
TEST_F(MonitorLoop, AnAbsentBoardLeavesEveryOtherBoardServed) {
    for (bool const fromStart : {true, false}) {
        SCOPED_TRACE(fromStart ? "absent from the start" : "stopped answering");
        rebuildEngine();
        machine.sim.setPresent(Psu, !fromStart);
        EngineEvents events(*engine);
        LogCapture log;
        engine->start();
        EXPECT_TRUE(engine->getBoardCache(Light).initialized); // at start-up
        machine.sim.setPresent(Psu, false);
        ASSERT_TRUE(events.waitFor("offline 1", 1));

        runCycles(6);
        size_t const cycles = machine.sim.requestCount(Filter{Main, code(Command::Heartbeat)});
        // Every cycle goes on past the absent board, whose heartbeats are
        // its failures alone.
        EXPECT_GE(machine.sim.requestCount(Filter{Light, code(Command::Heartbeat)}) + 1, cycles);
        EXPECT_GE(machine.sim.requestCount(Filter{Light, code(Command::Telemetry)}), cycles - 1);
        nlohmann::json const statistics = engine->getBusStatistics().toJson();
        EXPECT_GE(statistics["psu"]["timeouts"].get<size_t>(), cycles - 1);
        EXPECT_EQ(statistics["mainBoard"]["timeouts"], 0);
        EXPECT_GT(engine->getMonitorStatistics().toJson()["caheAge"]["lightController"]["status"],
                  0);
        nlohmann::json value;
        Engine::BoardInfo info;
        for (uint8_t const served : {Main, Light}) {
            SCOPED_TRACE(int(served));
            EXPECT_EQ(engine->boardTelemetryGet(served, 0, value), ErrorCode::Success);
            EXPECT_EQ(engine->boardInfoGet(served, info), ErrorCode::Success);
        }
        EXPECT_EQ(engine->boardTelemetryGet(Psu, 0, value), ErrorCode::Timeout);
        EXPECT_EQ(engine->boardInfoGet(Psu, info), ErrorCode::Timeout);

        machine.sim.setPresent(Psu, true);
        ASSERT_TRUE(events.waitFor("online 1", 1));
        ASSERT_TRUE(waitInitialized(Psu));
        EXPECT_EQ(engine->boardInfoGet(Psu, info), ErrorCode::Success);
        engine->stop();
        EXPECT_EQ(events.count("offline 1"), 1u);
        EXPECT_EQ(events.count("offline 0") + events.count("offline 16"), 0u);
        // Only its drop-out takes the bus away, once, as any drop-out does.
        EXPECT_EQ(log.count("[Parser] Setting bus offline: Timeout"), fromStart ? 0u : 1u);
        EXPECT_EQ(log.count("[Engine] Could not initialize lightController"), 0u);
    }
}

// A board absent at start is configured when it answers: from its own copy
// when it has one, else from its document of the configuration file, which
// its start-up initialisation never came to.
TEST_F(MonitorLoop, ABoardAbsentAtStartGetsItsConfigurationWhenItAnswers) {
    struct Case {
        char const* name;
        char const* copy; // none when null
        bool refused;     // the board refuses the file's threshold
        int32_t raw;
        char const* value;
    };
    Case const cases[] = {
        {"without a copy", nullptr, false, 2, "high"},
        {"with a copy", "0 \"low\"\n", false, 1, "low"},
        {"a file value the board refuses", nullptr, true, 2, "high"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        rebuildEngine();
        auto const& configs = engine->getBoards().at(Psu).getConfigs();
        std::string const fanMode = configs.at(FanModeSlot).name;
        std::string const threshold = configs.at(ThresholdSlot).name;
        engine->state.with([&](EngineState& s) {
            s.config.setBoardConfig(Psu, {{fanMode, "high"}, {threshold, 42}});
        });
        if (c.refused) { // the last case: the rule stays
            machine.sim.addRule({Filter{Psu, code(Command::ConfigSet), ThresholdSlot},
                                 boardsim::Action::errorReply(0x86)});
        }
        machine.sim.setRaw(Psu, boardsim::SlotTable::Config, FanModeSlot, 0); // "auto"
        machine.sim.setPresent(Psu, false);
        EngineEvents events(*engine);
        LogCapture log(Log::Level::Error);
        engine->start();
        if (c.copy != nullptr) {
            machine.dir.write("copies/psu", c.copy);
        }

        machine.sim.setPresent(Psu, true);
        ASSERT_TRUE(events.waitFor("online 1", 1));
        ASSERT_TRUE(waitInitialized(Psu));
        EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, FanModeSlot), c.raw);
        nlohmann::json value;
        EXPECT_EQ(engine->boardConfigGet(Psu, FanModeSlot, value), ErrorCode::Success);
        EXPECT_EQ(value, nlohmann::json(c.value));
        // Brought up at once, as at start-up, a refused value or not.
        EXPECT_EQ(log.count("Could not apply config on psu"), 0u) << log.text();
        engine->stop();
    }
}

// The gateway's silence is the whole bus's: it goes offline, every board's
// values answer Timeout, and all comes back when the main board answers.
TEST_F(MonitorLoop, ASilentGatewayStillTakesTheBusOfflineAndBringsItBack) {
    EngineEvents events(*engine);
    engine->start();
    LogCapture log;
    machine.sim.setGatewayOnline(false);
    nlohmann::json value;
    for (int wait = 0; wait < 1000 && engine->parser.isOnline(Main); ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    for (uint8_t const board : {Main, Psu, Light}) {
        EXPECT_EQ(engine->boardTelemetryGet(board, 0, value), ErrorCode::Timeout) << int(board);
    }
    runCycles(3);
    EXPECT_EQ(machine.sim.requestCount(Filter{Light}), 0u); // the bus stays offline

    machine.sim.setGatewayOnline(true);
    runCycles(3);
    for (uint8_t const board : {Main, Psu, Light}) {
        EXPECT_EQ(engine->boardTelemetryGet(board, 0, value), ErrorCode::Success) << int(board);
    }
    engine->stop();
    EXPECT_EQ(log.count("[Parser] Setting bus offline: Timeout"), 1u);
    EXPECT_EQ(log.count("[Parser] Setting mainBoard online"), 1u);
    EXPECT_EQ(events.count("offline 0"), 1u);
}

TEST_F(EngineFixture, TheWaitBetweenCyclesIsTakenInWholeStepsOfFiftyMilliseconds) {
    machine.sim.putFile("schema.xml", machine.schema.getBinary());
    struct Case {
        uint32_t periodMs;
        int64_t fromMs; // the shortest gap between two cycles lies in [from, to)
        int64_t toMs;
    };
    // A period of 0 adds no wait at all: its gaps stay below the 150 ms
    // that a period of 120 rounds up to, with room for a loaded machine.
    for (Case const c : {Case{120, 150, 1000}, Case{0, 0, 150}}) {
        SCOPED_TRACE(c.periodMs);
        engine->state.with([&](EngineState& s) {
            s.config.fromJson({{"statusPeriod", c.periodMs}});
        });
        engine->start();
        machine.sim.clearRequests();
        Filter const cycleStarts{Main, code(Command::Heartbeat)};
        ASSERT_TRUE(machine.sim.waitFor(cycleStarts, 6, 5000));
        engine->stop();
        std::vector<int64_t> starts;
        for (auto const& request : machine.sim.requests()) {
            if (request.address == Main && request.command == code(Command::Heartbeat)) {
                starts.push_back(request.timeMs);
            }
        }
        int64_t shortest = INT64_MAX;
        for (size_t i = 1; i < starts.size(); ++i) {
            shortest = std::min(shortest, starts[i] - starts[i - 1]);
        }
        EXPECT_GE(shortest, c.fromMs);
        EXPECT_LT(shortest, c.toMs);
    }
}

} // namespace
} // namespace enginetest
