#pragma once

#include "bus/Parser.h"
#include "engine/Engine.h"
#include "support/SimulatedMachine.h"
#include "support/TimeScale.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace enginetest {

using testsupport::Light;
using testsupport::Main;
using testsupport::Psu;
using velt::ZRV480::BoardManager::Manager::BoardCache;
using velt::ZRV480::BoardManager::Manager::Engine;
using velt::ZRV480::BoardManager::Manager::EngineState;
using velt::ZRV480::BoardManager::Manager::FirmwareUpgrades;
using velt::ZRV480::Bus::Common::ErrorCode;

// The engine with its internals in reach of the tests.
class TestEngine : public Engine {
public:
    using Engine::Engine;

    using Engine::boardConfigCacheApply;
    using Engine::boardConfigCacheFromConfigFile;
    using Engine::boardConfigCacheFromTempfs;
    using Engine::boardConfigCacheTempFsCreate;
    using Engine::boardConfigCacheTempFsRemove;
    using Engine::boardConfigCacheTempFsStore;
    using Engine::boardInitEmergency;
    using Engine::boardInitStartup;
    using Engine::configure;

    using Engine::monitor;
    using Engine::parser;
    using Engine::running;
    using Engine::starting;
    using Engine::state;

    // The firmware part, whose images, rules and runs the tests drive.
    FirmwareUpgrades& upgrades() { return firmwareUpgrades; }

    // Changes a board's cache under the engine's lock.
    template <typename Change> void editCache(uint8_t address, Change change) {
        changeCache(state, address, change);
    }
};

// An engine on `machine` with the files in `appDir` and `copiesDir`, set up
// as EngineFixture describes.
std::unique_ptr<TestEngine> makeTestEngine(testsupport::SimulatedMachine const& machine,
                                           std::string const& appDir, std::string const& copiesDir);

// An engine on a simulated machine. Its bus points at the simulator before
// anything starts; requests time out after 30 ms (times the build's time
// scale) with one retransmission and the monitoring period is 20 ms. Its
// files live in the machine's scratch directory: "app" (report, firmware
// images) and "copies" (per-board configuration copies, not created until
// the engine creates it).
class EngineFixture : public ::testing::Test {
public:
    static constexpr int64_t TimeoutMs = 30 * testsupport::TimeScale;
    static constexpr uint64_t Retransmissions = 1;
    static constexpr uint32_t StatusPeriodMs = 20;

protected:
    void SetUp() override;
    void TearDown() override;

    // A new engine on the same machine and directories (the old one goes first).
    void rebuildEngine();
    // Starts the command layer alone (no Engine::start): requests can go out.
    void startBus();
    // The bus started and a heartbeat answered by the main board and `address`,
    // so both count as online.
    void bringOnline(uint8_t address);
    // Marks the board's cache as initialised with the expected firmware, as
    // a successful initialisation leaves it.
    void markInitialized(uint8_t address);

    std::string appDir() const { return machine.dir.path("app"); }
    std::string copiesDir() const { return machine.dir.path("copies"); }

    testsupport::SimulatedMachine machine;
    std::unique_ptr<TestEngine> engine;
};

} // namespace enginetest
