#include "support/EngineEvents.h"
#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include "bus/Protocol.h"

#include <chrono>
#include <functional>
#include <string>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;
using testsupport::LogCapture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t Misc = static_cast<uint8_t>(Protocol::Command::Misc);
Filter const PsuReboots{Psu, Misc, Protocol::Misc::Reboot};
constexpr uint8_t Broadcast = 255;

class Reboots : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        prepare();
    }

    // The psu answers, counts as initialised and has a firmware report,
    // which a reboot request forgets.
    void prepare() {
        ASSERT_TRUE(machine.sim.waitBooted(Psu, 2000));
        bringOnline(Psu);
        markInitialized(Psu);
        engine->state.with([&](EngineState& s) { s.firmwares[Psu].version = 124; });
    }

    // The cached codes of the psu's "Mains Lost" (4) and "On Battery" (6) slots.
    void setPower(uint16_t mainsLost, uint16_t onBattery) {
        engine->editCache(Psu, [&](BoardCache& cache) {
            cache.statuses.at(4).second.first = mainsLost;
            cache.statuses.at(6).second.first = onBattery;
        });
    }

    bool hasReport() const { return engine->firmwareUpgradeGet().contains(Psu); }
};

TEST_F(Reboots, ThePowerSupplyIsOnlyRebootedOnMains) {
    struct Case {
        uint16_t mainsLost;
        uint16_t onBattery;
        bool mains;
    };
    for (Case const c : {Case{5, 5, false}, Case{0, 5, true}, Case{5, 0, true}, Case{0, 0, true}}) {
        SCOPED_TRACE(std::to_string(c.mainsLost) + "/" + std::to_string(c.onBattery));
        prepare();
        setPower(c.mainsLost, c.onBattery);
        machine.sim.clearRequests();
        LogCapture log(Log::Level::Warning);

        EXPECT_EQ(engine->poweredByMains(), c.mains);
        ErrorCode const result = engine->boardReboot(Psu);
        EXPECT_EQ(machine.sim.requestCount(PsuReboots), c.mains ? 1u : 0u);
        EXPECT_EQ(hasReport(), !c.mains);
        EXPECT_EQ(engine->getBoardCache(Psu).initialized, !c.mains);
        if (c.mains) {
            EXPECT_EQ(result, ErrorCode::Success);
        } else {
            EXPECT_EQ(result, ErrorCode::OnBatteries);
            EXPECT_EQ(log.count("Refusing PSU reboot because system is on batteries"), 1u);
        }
    }
}

TEST_F(Reboots, ARebootThatGetsNoAnswerCountsAsDoneAndOtherFailuresAreReturned) {
    engine->editCache(Psu, [](BoardCache& cache) { cache.initAttempts = 3; });
    int const drop = machine.sim.addRule({PsuReboots, boardsim::Action::dropReply()});
    EXPECT_EQ(engine->boardReboot(Psu), ErrorCode::Success);
    BoardCache cache = engine->getBoardCache(Psu);
    EXPECT_FALSE(cache.initialized);
    EXPECT_FALSE(cache.firmwareOk);
    EXPECT_EQ(cache.initAttempts, 0u);
    machine.sim.removeRule(drop);

    prepare();
    machine.sim.addRule({PsuReboots, boardsim::Action::errorReply(0x83)});
    ErrorCode const refused = engine->boardReboot(Psu);
    EXPECT_NE(refused, ErrorCode::Success);
    EXPECT_NE(refused, ErrorCode::Timeout);
    EXPECT_TRUE(engine->getBoardCache(Psu).initialized); // the cache is left alone
    EXPECT_FALSE(hasReport()); // but the report was forgotten before the request
}

TEST_F(Reboots, ASynchronousRebootReturnsOnceTheBoardAnswersAgain) {
    engine->running = true; // the poll runs while the engine does
    EngineEvents events(*engine);
    LogCapture log;

    auto const begin = Clock::now();
    EXPECT_EQ(engine->boardRebootSync(Psu), ErrorCode::Success);
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(events.count("online 1"), 1u);
    EXPECT_EQ(engine->getBoardCache(Psu).heartbeat.first, ErrorCode::Success);
    // The waiting slot is gone: a later notice reaches nothing of the call.
    engine->boardOnline.emit(Psu);
    EXPECT_EQ(log.count("Sync reboot callback called!"), 1u);
    EXPECT_GE(log.count("Checking for psu heartbeat"), 1u);
}

TEST_F(Reboots, ASynchronousRebootOfASilentBoardTimesOutAfterTenSeconds) {
    engine->running = true;
    machine.sim.setPresent(Psu, false);
    LogCapture log;

    auto const begin = Clock::now();
    EXPECT_EQ(engine->boardRebootSync(Psu), ErrorCode::Timeout);
    auto const took = Clock::now() - begin;
    EXPECT_GE(took, 10s);
    EXPECT_LT(took, 12s);
    engine->boardOnline.emit(Psu);
    EXPECT_EQ(log.count("Sync reboot callback called!"), 0u);
    EXPECT_EQ(log.count("Joining monitor thread"), 1u);
}

TEST_F(Reboots, ARefusedSynchronousRebootReturnsTheRefusalAtOnce) {
    engine->running = true;
    setPower(1, 1);
    LogCapture log;
    EXPECT_EQ(engine->boardRebootSync(Psu), ErrorCode::OnBatteries);
    engine->boardOnline.emit(Psu);
    EXPECT_EQ(log.count("Synchronous board reboot failed: OnBatteries"), 1u);
    EXPECT_EQ(log.count("Sync reboot callback called!"), 0u);
    EXPECT_EQ(log.count("Launching monitor thread"), 0u);
}

TEST_F(Reboots, BroadcastsGoToEveryBoardAndChangeNothingInTheEngine) {
    struct Case {
        std::function<ErrorCode(Engine&)> call;
        std::string line;
    };
    // The reboot last: the rebooting main board silences the bus for a while.
    for (Case const& c : {Case{&Engine::broadcastHeartbeat, "broadcastHeartbeat()"},
                          Case{&Engine::broadcastRestoreDefaults, "broadcastRestoreDefaults()"},
                          Case{&Engine::broadcastReboot, "broadcastReboot()"}}) {
        SCOPED_TRACE(c.line);
        machine.sim.clearRequests();
        LogCapture log(Log::Level::Warning);
        c.call(*engine);
        EXPECT_EQ(machine.sim.requestCount(Filter{Broadcast}), 1u);
        EXPECT_EQ(log.count(c.line), 1u);
        EXPECT_TRUE(engine->getBoardCache(Psu).initialized);
        EXPECT_TRUE(hasReport());
    }
}

} // namespace
} // namespace enginetest
