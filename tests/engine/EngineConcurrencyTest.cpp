#include "support/EngineFixture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace enginetest {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

class EngineConcurrency : public EngineFixture {};

// Other threads read and write the engine's state while the monitoring loop
// refreshes and rebuilds the caches: every answer is a whole value of the
// slot's type, never a view into a cache that is being replaced.
TEST_F(EngineConcurrency, GettersAndWritesRunBesideTheMonitoringLoop) {
    machine.sim.putFile("schema.xml", machine.schema.getBinary());
    engine->start();
    ASSERT_TRUE(engine->getIsRunning());

    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::atomic<int> malformed{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!done) {
            Json value;
            if (engine->boardTelemetryGet(Psu, 0, value) == ErrorCode::Success) {
                ++answered;
                malformed += value.is_number() ? 0 : 1;
            }
            if (engine->boardConfigGet(Light, 20, value) == ErrorCode::Success) {
                malformed += value.is_object() && value.size() == 3 ? 0 : 1;
            }
            std::pair<uint64_t, std::string> status;
            engine->boardStatusSlotNGet(Psu, 4, status);
            BoardCache const cache = engine->getBoardCache(Psu);
            malformed += cache.telemetries.size() == 4 ? 0 : 1;
            engine->getMonitorStatistics().toJson();
            engine->firmwareUpgradeGet().toJson();
            engine->getStatus().toJson();
        }
    });
    threads.emplace_back([&] {
        uint8_t level = 0;
        while (!done) {
            Json value = level % 100;
            engine->boardConfigSet(Psu, 2, value);
            engine->lightTransitionValue(Light, 10, ++level);
            std::this_thread::sleep_for(2ms);
        }
    });
    // Power cycles make the loop rebuild the board's cache meanwhile, at
    // least 300 ms apart and each once the board is served again.
    auto servedAgain = [&answered] {
        std::this_thread::sleep_for(300ms);
        int const before = answered;
        auto const deadline = std::chrono::steady_clock::now() + 20s;
        while (answered == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return answered > before;
    };
    int served = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        served += servedAgain() ? 1 : 0;
        machine.sim.powerCycle(Psu);
    }
    served += servedAgain() ? 1 : 0;
    done = true;
    for (auto& thread : threads) {
        thread.join();
    }
    engine->stop();
    EXPECT_EQ(served, 4);
    EXPECT_EQ(malformed, 0);
}

} // namespace
} // namespace enginetest
