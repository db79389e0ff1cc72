#include "support/EngineFixture.h"

#include <sys/stat.h>

namespace enginetest {

void EngineFixture::SetUp() {
    ASSERT_EQ(::mkdir(appDir().c_str(), 0755), 0);
    rebuildEngine();
}

void EngineFixture::TearDown() {
    engine.reset();
}

std::unique_ptr<TestEngine> makeTestEngine(testsupport::SimulatedMachine const& machine,
                                           std::string const& appDir,
                                           std::string const& copiesDir) {
    auto engine = std::make_unique<TestEngine>(machine.schema, Engine::Paths{appDir, copiesDir});
    // Before anything is sent: the bus reaches the simulator, never the
    // machine's default gateway.
    engine->parser.socketConfigSet(machine.socketConfig());
    engine->state.with([&](EngineState& s) {
        s.config.fromJson({{"timeoutMs", EngineFixture::TimeoutMs},
                           {"retransmissions", EngineFixture::Retransmissions},
                           {"statusPeriod", EngineFixture::StatusPeriodMs}});
    });
    engine->parser.configSet({EngineFixture::TimeoutMs, EngineFixture::Retransmissions});
    return engine;
}

void EngineFixture::rebuildEngine() {
    engine.reset();
    engine = makeTestEngine(machine, appDir(), copiesDir());
}

void EngineFixture::startBus() {
    engine->parser.start();
}

void EngineFixture::bringOnline(uint8_t address) {
    startBus();
    uint32_t uptime = 0;
    ASSERT_EQ(engine->parser.heartbeat(Main, uptime), ErrorCode::Success);
    ASSERT_EQ(engine->parser.heartbeat(address, uptime), ErrorCode::Success);
    ASSERT_TRUE(engine->parser.isOnline(address));
}

void EngineFixture::markInitialized(uint8_t address) {
    engine->editCache(address, [](BoardCache& cache) {
        cache.initialized = true;
        cache.firmwareOk = true;
    });
}

} // namespace enginetest
