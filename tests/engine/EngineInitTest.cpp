#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include "bus/Protocol.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;
using testsupport::LogCapture;
using velt::ZRV480::Bus::Board;

constexpr uint8_t Misc = static_cast<uint8_t>(Protocol::Command::Misc);
constexpr uint8_t ConfigSet = static_cast<uint8_t>(Protocol::Command::ConfigSet);
constexpr uint8_t ThresholdSlot = 2; // psu "Battery Low Threshold", 0..100

int32_t now() {
    return static_cast<int32_t>(std::time(nullptr));
}

// Waits until the wall clock's next second begins; that second.
int32_t startOfASecond() {
    int32_t const current = now();
    while (now() == current) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return now();
}

class Initialisation : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        startBus();
    }
};

TEST_F(Initialisation, TheMainBoardsClockIsSetAndAnOffsetAboveAnHourWarned) {
    struct Case {
        int32_t behind;
        bool warned;
    };
    for (Case const c : {Case{4000, true}, Case{-4000, true}, Case{3600, false}, Case{0, false}}) {
        SCOPED_TRACE(c.behind);
        // Both clocks count whole seconds, so a run across a second of the
        // wall clock may find one more: each run starts just after a second
        // begins, and one that still crosses the next is run again.
        size_t warnings = 0;
        for (int run = 0; run < 3; ++run) {
            int32_t const start = startOfASecond();
            machine.sim.setClock(start - c.behind);
            LogCapture log(Log::Level::Warning);
            ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
            warnings = log.count("RTC was off by more than 1h");
            if (now() == start) {
                break;
            }
        }
        EXPECT_LE(std::abs(machine.sim.clock() - now()), 2);
        EXPECT_EQ(warnings, c.warned ? 1u : 0u);
    }
}

TEST_F(Initialisation, AnUnreadableClockIsSetAllTheSame) {
    machine.sim.setClock(1000);
    boardsim::Rule refuseRead{Filter{Main, Misc, Protocol::Misc::Clock},
                              boardsim::Action::errorReply(0x85)};
    refuseRead.times = 1; // the read; the write that follows goes through
    machine.sim.addRule(refuseRead);
    LogCapture log(Log::Level::Warning);
    EXPECT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    EXPECT_LE(std::abs(machine.sim.clock() - now()), 2);
    EXPECT_EQ(log.count("Could not get main RTC"), 1u);
}

TEST_F(Initialisation, BehindASilentMainBoardNothingIsSentToTheOtherBoards) {
    machine.sim.setAbsentMode(boardsim::Silence::Silent);
    machine.sim.setPresent(Main, false);
    EXPECT_EQ(engine->boardInitStartup(Main), ErrorCode::Timeout);
    machine.sim.clearRequests();
    EXPECT_EQ(engine->boardInitStartup(Psu), ErrorCode::Timeout);
    EXPECT_EQ(machine.sim.requestCount(Filter{}), 0u);
    EXPECT_EQ(engine->getBoardCache(Psu).initAttempts, 0u); // not counted
}

TEST_F(Initialisation, FiveFailuresInARowLeaveTheBoardAloneUntilARebootRequest) {
    ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    machine.sim.setPresent(Psu, false);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        ErrorCode const result = engine->boardInitStartup(Psu);
        EXPECT_NE(result, ErrorCode::Success);
        EXPECT_NE(result, ErrorCode::InvalidParameter);
    }
    machine.sim.setPresent(Psu, true);
    machine.sim.clearRequests();
    EXPECT_EQ(engine->boardInitStartup(Psu), ErrorCode::InvalidParameter);
    EXPECT_EQ(engine->boardInitEmergency(Psu), ErrorCode::InvalidParameter);
    EXPECT_EQ(machine.sim.requestCount(Filter{Psu}), 0u);

    EXPECT_EQ(engine->boardReboot(Psu), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
    EXPECT_EQ(engine->boardInitStartup(Psu), ErrorCode::Success);
    // A success forgets the failures before it.
    EXPECT_EQ(engine->getBoardCache(Psu).initAttempts, 0u);
}

TEST_F(Initialisation, AConfigurationValueTheBoardRefusesOnlyEndsAnEmergencyInitialisation) {
    ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    std::string const& name = engine->getBoards().at(Psu).getConfigs().at(ThresholdSlot).name;
    engine->state.with([&](EngineState& s) { s.config.setBoardConfig(Psu, {{name, 42}}); });
    machine.sim.addRule(
        {Filter{Psu, ConfigSet, ThresholdSlot}, boardsim::Action::errorReply(0x86)});
    LogCapture log(Log::Level::Error);

    EXPECT_EQ(engine->boardInitStartup(Psu), ErrorCode::Success);
    EXPECT_TRUE(engine->getBoardCache(Psu).initialized);
    // The refused write left its code in the cache; as a value read back
    // from the board it would be written again.
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.configs.at(ThresholdSlot) = {ErrorCode::Success, 42};
    });
    EXPECT_EQ(engine->boardInitEmergency(Psu), ErrorCode::BusInvalidValue);
    EXPECT_FALSE(engine->getBoardCache(Psu).initialized);
    EXPECT_EQ(log.count("Could not apply config on psu: BusInvalidValue"), 1u);
}

TEST_F(Initialisation, ABoardWithAnotherFirmwareAnswersTheVersionFaultForEveryValueAtOnce) {
    ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    auto info = machine.sim.boardInfo(Psu);
    info.firmwareVersion = 99;
    machine.sim.setBoardInfo(Psu, info);
    struct Case {
        char const* name;
        std::function<ErrorCode()> initialise;
    };
    Case const cases[] = {
        {"start-up", [this] { return engine->boardInitStartup(Psu); }},
        {"emergency", [this] { return engine->boardInitEmergency(Psu); }},
    };
    Board const& board = engine->getBoards().at(Psu);
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        // Values read while it ran the expected firmware.
        engine->editCache(Psu, [](BoardCache& cache) {
            for (auto* slots : {&cache.telemetries, &cache.configs}) {
                for (auto& entry : *slots) {
                    entry.second = {ErrorCode::Success, 1};
                }
            }
        });
        ASSERT_EQ(c.initialise(), ErrorCode::InvalidBoardVersion);
        for (auto const& [slot, telemetry] : board.getTelemetries()) {
            nlohmann::json value;
            EXPECT_EQ(engine->boardTelemetryGet(Psu, slot, value), ErrorCode::InvalidBoardVersion)
                << telemetry.name;
        }
        for (auto const& [slot, config] : board.getConfigs()) {
            nlohmann::json value;
            EXPECT_EQ(engine->boardConfigGet(Psu, slot, value), ErrorCode::InvalidBoardVersion)
                << config.name;
        }
    }
}

TEST_F(Initialisation, AnUnmarkedScratchpadForgetsTheBoardsPlannedFirmware) {
    ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
    auto plan = [this](uint8_t version) {
        engine->state.with([&](EngineState& s) { s.firmwares[Psu].version = version; });
    };
    plan(124);
    machine.sim.setScratchpad(Psu, Engine::ScratchpadCell, Engine::ScratchpadMarker);
    ASSERT_EQ(engine->boardInitStartup(Psu), ErrorCode::Success);
    EXPECT_TRUE(engine->firmwareUpgradeGet().contains(Psu)); // marked: no reboot since

    machine.sim.setScratchpad(Psu, Engine::ScratchpadCell, 0);
    ASSERT_EQ(engine->boardInitStartup(Psu), ErrorCode::Success);
    EXPECT_FALSE(engine->firmwareUpgradeGet().contains(Psu));
}

} // namespace
} // namespace enginetest
