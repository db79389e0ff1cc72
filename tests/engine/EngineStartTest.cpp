#include "support/EngineEvents.h"
#include "support/EngineFixture.h"
#include "support/LogCapture.h"
#include "support/LogWatch.h"

#include "bus/Protocol.h"

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <thread>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;
using testsupport::LogCapture;
using testsupport::LogWatch;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t Misc = static_cast<uint8_t>(Protocol::Command::Misc);
constexpr uint8_t TelemetryCommand = static_cast<uint8_t>(Protocol::Command::Telemetry);
constexpr uint8_t HeartbeatCommand = static_cast<uint8_t>(Protocol::Command::Heartbeat);
Filter const FileOpens{Main, Misc, Protocol::Misc::Files, Protocol::File::Open};
Filter const FileWrites{Main, Misc, Protocol::Misc::Files, Protocol::File::Write};
Filter const MainReboots{Main, Misc, Protocol::Misc::Reboot};

class EngineStart : public EngineFixture {
protected:
    // The main board already holds the service's schema.
    void putSchemaOnMain() { machine.sim.putFile("schema.xml", machine.schema.getBinary()); }

    void expectEveryBoardInitialised() {
        for (auto const& entry : engine->getBoards()) {
            BoardCache const cache = engine->getBoardCache(entry.first);
            EXPECT_TRUE(cache.initialized) << entry.second.getName();
            EXPECT_TRUE(cache.firmwareOk) << entry.second.getName();
            EXPECT_EQ(machine.sim.scratchpad(entry.first, Engine::ScratchpadCell),
                      Engine::ScratchpadMarker)
                << entry.second.getName();
        }
    }

    // Status period of the next monitoring loop.
    void setStatusPeriod(uint32_t ms) {
        std::lock_guard<std::mutex> lock(engine->stateMutex);
        engine->config.fromJson({{"statusPeriod", ms}});
    }
};

TEST_F(EngineStart, MatchingSchemaIsNeitherSentNorRebootedAndEveryBoardIsInitialised) {
    putSchemaOnMain();
    LogCapture log;
    EngineEvents events(*engine);

    engine->start();
    EXPECT_TRUE(engine->getIsRunning());
    expectEveryBoardInitialised();
    EXPECT_EQ(machine.sim.requestCount(FileWrites), 0u);
    EXPECT_EQ(machine.sim.requestCount(MainReboots), 0u);
    EXPECT_EQ(events.count("configChanged"), 1u);

    engine->start(); // already running: nothing happens
    engine->stop();
    engine->stop(); // already stopped: nothing happens
    EXPECT_FALSE(engine->getIsRunning());
    EXPECT_EQ(events.count("stopped"), 1u);
    EXPECT_EQ(events.count("configChanged"), 1u);

    std::string const text = log.text();
    auto count = [&text](std::string const& line) {
        size_t found = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count("[Engine] Starting..."), 1u);
    EXPECT_EQ(count("Configuration attempt (1/3)"), 1u);
    EXPECT_EQ(count("Configuration attempt (2/3)"), 0u);
    EXPECT_EQ(count("./schema.xml matches remote"), 1u);
    EXPECT_EQ(count("Could not initialize"), 0u);
    EXPECT_EQ(count("Detected boards:"), 1u);
    EXPECT_EQ(count("- psu-R2 (firmware=psu, version=123)"), 1u);
    EXPECT_EQ(count("[Engine] Started!"), 1u);
    EXPECT_EQ(count("[Engine] Stopping..."), 1u);
    EXPECT_EQ(count("[Engine] Stopped!"), 1u);
}

TEST_F(EngineStart, DifferentSchemaIsSentAndTheMainBoardRebootedBeforeTheBoardsStart) {
    machine.sim.putFile("schema.xml", {'o', 'l', 'd'});
    LogCapture log;
    EngineEvents events(*engine);

    engine->start();
    uint32_t size = 0;
    Engine::Md5 md5{};
    ASSERT_EQ(engine->mainFileChecksum("schema.xml", size, md5), ErrorCode::Success);
    EXPECT_EQ(md5, machine.schema.getHash());
    EXPECT_EQ(size, machine.schema.getBinary().size());
    EXPECT_EQ(machine.sim.requestCount(MainReboots), 1u);
    EXPECT_GE(events.count("transmitProgress 100"), 1u);
    EXPECT_GE(events.count("online 0"), 1u);
    expectEveryBoardInitialised();
    engine->stop();

    EXPECT_EQ(log.count("Checksum does not match (local="), 1u);
    EXPECT_EQ(log.count("Configuration attempt (2/3)"), 0u);
    EXPECT_EQ(log.count("Could not initialize"), 0u);
}

TEST_F(EngineStart, ChecksumUnknownToOldFirmwareSendsThroughTheHandleItOpened) {
    machine.sim.setLegacyChecksum(true);
    LogCapture log;

    engine->start();
    EXPECT_EQ(machine.sim.file("schema.xml"), machine.schema.getBinary());
    EXPECT_EQ(machine.sim.requestCount(FileOpens), 1u); // the checksum's open only
    EXPECT_EQ(machine.sim.requestCount(MainReboots), 1u);
    engine->stop();
    EXPECT_EQ(log.count("Firmware too old, does not support command 'MainFileChecksum'"), 1u);
}

TEST_F(EngineStart, SilentMainBoardGetsThreeAttemptsAndTheEngineStartsAllTheSame) {
    machine.sim.setPresent(Main, false);
    LogCapture log;
    EngineEvents events(*engine);

    auto const begin = Clock::now();
    engine->start();
    auto const took = Clock::now() - begin;
    EXPECT_GE(took, 6s); // a 2 s pause after every failed attempt
    EXPECT_TRUE(engine->getIsRunning());
    EXPECT_EQ(events.count("configChanged"), 1u);
    // Behind a silent main board nothing is sent to the other boards.
    EXPECT_EQ(machine.sim.requestCount(Filter{Psu}), 0u);
    EXPECT_EQ(machine.sim.requestCount(Filter{Light}), 0u);
    engine->stop();

    std::string const text = log.text();
    for (std::string const line : {"Configuration attempt (1/3)", "Configuration attempt (2/3)",
                                   "Configuration attempt (3/3)", "Could not initialize mainBoard",
                                   "Could not initialize psu",
                                   "Could not initialize lightController", "[Engine] Started!"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST_F(EngineStart, ASchemaWithoutMainBoardStartsNothing) {
    velt::ZRV480::Bus::Schema const schema(std::string(BM_FIXTURES_DIR) +
                                           "/schemas/no-main-board.xml");
    std::string const dir = machine.dir.path("no-main");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    TestEngine other(schema, Engine::Paths{dir, dir + "/copies"});
    other.parser.socketConfigSet(machine.socketConfig());
    LogCapture log;

    other.start();
    EXPECT_FALSE(other.getIsRunning());
    uint32_t uptime = 0;
    EXPECT_NE(other.boardUptimeGet(5, uptime), ErrorCode::Success);
    other.stop();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(machine.sim.requests().empty());
    EXPECT_EQ(log.count("[Engine] Starting..."), 0u);
}

TEST_F(EngineStart, AnUnreadableSchemaIsNeverSentToTheMainBoard) {
    velt::ZRV480::Bus::Schema const unread(machine.dir.path("no-such-schema.xml"));
    std::string const dir = machine.dir.path("unread");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    TestEngine other(unread, Engine::Paths{dir, dir + "/copies"});
    other.parser.socketConfigSet(machine.socketConfig());
    other.parser.start();
    EXPECT_NE(other.configure(), ErrorCode::Success);
    EXPECT_EQ(machine.sim.requestCount(Filter{}), 0u);
    EXPECT_FALSE(machine.sim.file("schema.xml").has_value());
}

TEST_F(EngineStart, StartAfterStopRepeatsTheWholeSequence) {
    putSchemaOnMain();
    LogCapture log;
    engine->start();
    engine->stop();
    machine.sim.powerCycle(Psu);
    ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
    engine->start();
    expectEveryBoardInitialised();
    engine->stop();
    EXPECT_EQ(log.count("Configuration attempt (1/3)"), 2u);
    EXPECT_EQ(log.count("Initializing psu..."), 2u);
}

TEST_F(EngineStart, DeviceWriteRestartsTheLoopWithTheNewPeriod) {
    putSchemaOnMain();
    LogWatch log;
    engine->start();
    ASSERT_TRUE(machine.sim.waitFor(Filter{Light, TelemetryCommand}, 1, 20000));

    engine->setDeviceConfig({{"statusPeriod", 1000}, {"unknown", 1}});
    EXPECT_TRUE(engine->getIsRunning());
    EXPECT_EQ(engine->getDeviceConfig().at("statusPeriod"), 1000);
    EXPECT_FALSE(engine->getDeviceConfig().contains("unknown"));
    // The restart runs on a thread of the engine.
    EXPECT_TRUE(log.waitFor("every 1000ms", 20000));
    machine.sim.clearRequests();
    EXPECT_TRUE(machine.sim.waitFor(Filter{Light, TelemetryCommand}, 1, 20000));

    // Without a setting nothing restarts.
    engine->setDeviceConfig(nlohmann::json::object());
    engine->setDeviceConfig(nullptr);
    EXPECT_THROW(engine->setDeviceConfig(5), nlohmann::json::exception);
    engine->stop();
    EXPECT_EQ(log.count("Restarting monitor thread due to changed config"), 1u);
    EXPECT_EQ(log.count("every 1000ms"), 1u);
}

TEST_F(EngineStart, StopDuringARestartStopsTheService) {
    putSchemaOnMain();
    engine->start();
    // Slow batches keep the restart joining while the stop comes.
    machine.sim.addRule({Filter{Light, TelemetryCommand}, boardsim::Action::delayed(5)});
    EngineEvents events(*engine);
    ASSERT_TRUE(machine.sim.waitFor(Filter{Light, TelemetryCommand}, 3, 20000));

    std::thread restart([this] { engine->setDeviceConfig({{"statusPeriod", 30}}); });
    std::this_thread::sleep_for(2ms);
    engine->stop();
    restart.join();
    engine->stop();

    EXPECT_FALSE(engine->getIsRunning());
    EXPECT_EQ(events.count("stopped"), 1u);
    // No monitoring thread is left behind. What was sent before the stop
    // may still reach the simulator first.
    std::this_thread::sleep_for(300ms);
    machine.sim.clearRequests();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(machine.sim.requestCount(Filter{}), 0u);
}

TEST_F(EngineStart, AStopEndsTheStartAtItsNextStep) {
    struct Case {
        char const* phase;
        // Prepares the machine, then waits until the start is in the phase.
        std::function<void(testsupport::SimulatedMachine&)> before;
        std::function<void(testsupport::SimulatedMachine&)> reach;
    };
    Case const cases[] = {
        {"pause after a failed configuration attempt",
         [](auto& simulated) { simulated.sim.setPresent(Main, false); },
         [](auto& simulated) {
             ASSERT_TRUE(simulated.sim.waitFor(Filter{Main, HeartbeatCommand}, 1, 20000));
             std::this_thread::sleep_for(200ms);
         }},
        {"wait for the main board after the schema was sent", [](auto&) {},
         [](auto& simulated) {
             ASSERT_TRUE(simulated.sim.waitFor(MainReboots, 1, 20000));
             simulated.sim.setPresent(Main, false); // it never answers again
         }},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.phase);
        rebuildEngine();
        machine.sim.reset();
        c.before(machine);
        EngineEvents events(*engine);
        LogCapture log;
        std::thread start([this] { engine->start(); });
        c.reach(machine);

        auto const begin = Clock::now();
        engine->stop();
        EXPECT_LT(Clock::now() - begin, 1s);
        start.join();
        EXPECT_FALSE(engine->getIsRunning());
        EXPECT_EQ(events.count("configChanged"), 0u);
        EXPECT_EQ(events.count("stopped"), 1u);
        // Nothing was launched: no request follows the stop.
        std::this_thread::sleep_for(200ms);
        machine.sim.clearRequests();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(machine.sim.requestCount(Filter{}), 0u);
        EXPECT_EQ(log.count("[Engine] Started!"), 0u);
    }
}

TEST_F(EngineStart, StopEndsTheWaitBetweenCyclesAtOnce) {
    putSchemaOnMain();
    setStatusPeriod(60000);
    engine->start();
    std::this_thread::sleep_for(300ms); // the first cycle is over: the loop waits

    auto const begin = Clock::now();
    engine->stop();
    EXPECT_LT(Clock::now() - begin, 1s);
    EXPECT_FALSE(engine->getIsRunning());
}

TEST_F(EngineStart, MonitoringLoopKeepsRunningUntilStopped) {
    putSchemaOnMain();
    engine->start();
    machine.sim.clearRequests();
    // Cycles follow each other at the status period.
    EXPECT_TRUE(machine.sim.waitFor(Filter{Main, HeartbeatCommand}, 3, 20000));
    engine->stop();
}

} // namespace
} // namespace enginetest
