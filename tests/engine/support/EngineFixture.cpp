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

void EngineFixture::rebuildEngine() {
    engine.reset();
    engine = std::make_unique<TestEngine>(machine.schema, Engine::Paths{appDir(), copiesDir()});
    // Before anything is sent: the bus reaches the simulator, never the
    // machine's default gateway.
    engine->parser.socketConfigSet(machine.socketConfig());
    {
        std::lock_guard<std::mutex> lock(engine->stateMutex);
        engine->config.fromJson({{"timeoutMs", TimeoutMs},
                                 {"retransmissions", Retransmissions},
                                 {"statusPeriod", StatusPeriodMs}});
    }
    engine->parser.configSet({TimeoutMs, Retransmissions});
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
