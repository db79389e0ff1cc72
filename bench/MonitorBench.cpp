// The monitoring loop against the in-process board simulator with the
// fixture schema: one full monitoring cycle next to the same requests sent
// straight through the command layer, whose ratio is the engine's own cost
// per cycle; the cycle with one board absent and silent, next to the cycle
// with all present, whose difference should be little more than the absent
// board's one heartbeat time-out; and the CPU time the process spends per
// second while the loop waits between cycles at the default status period.

#include "BoardSim.h"
#include "MedianReporter.h"
#include "bus/Packet.h"
#include "bus/Parser.h"
#include "bus/Schema.h"
#include "engine/Engine.h"
#include "foundation/Log.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using velt::ZRV480::BoardManager::Manager::Engine;
using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Schema;
using velt::ZRV480::Bus::Common::ErrorCode;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int Repetitions = 5;
constexpr int Cycles = 200;
// Each cycle with a board absent waits out its heartbeat.
constexpr int CyclesWithOneAbsent = 20;
constexpr uint8_t AbsentBoard = 1; // the power supply
// The time-out of a heartbeat, which the absent board's cycle waits out once.
constexpr double HeartbeatTimeoutUs = 100000;
// Not the tenth cycle: that one adds the main board's network, clock and bus report.
constexpr uint64_t OrdinaryCycle = 1;

std::string fixtureSchema() {
    return std::string(BM_FIXTURES_DIR) + "/schema.xml";
}

// The engine's monitoring steps within reach of the benchmark.
class BenchEngine : public Engine {
public:
    using Engine::boardInitStartup;
    using Engine::Engine;
    using Engine::monitor;
    using Engine::parser;
    using Engine::starting;
    using Engine::state;
};

// The simulated machine and an engine on it, its files in a directory of its own.
class Machine {
public:
    Machine() : port(sim.start(0, "127.0.0.1")), schema(fixtureSchema()) {
        char pattern[] = "/tmp/monitor-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        sim.setRequestLogLimit(10000);
        sim.putFile("schema.xml", schema.getBinary());
        engine = std::make_unique<BenchEngine>(schema, Engine::Paths{dir, dir + "/copies"});
        // Before anything is sent: the bus reaches the simulator only.
        engine->parser.socketConfigSet(
            {{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}});
    }
    ~Machine() {
        engine.reset();
        sim.stop();
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    // One cycle's batches, as the loop runs them: a time-out that took the
    // bus offline ends it.
    void cycle() {
        for (auto const& entry : engine->getBoards()) {
            if (engine->monitor.cacheBatch(entry.first, 20, OrdinaryCycle) == ErrorCode::Timeout &&
                !engine->parser.isOnline(Schema::AddressMain)) {
                return;
            }
        }
    }

    // Starts the bus and initialises every board as at start-up; false when
    // one that is not `absent` could not be, or the schema holds no board.
    bool initialise(int absent = -1) {
        if (!schema.isValid() || schema.getBoards().empty()) {
            return false; // nothing to measure
        }
        engine->parser.start();
        bool initialised = true;
        for (auto const& entry : engine->getBoards()) {
            bool const up = engine->boardInitStartup(entry.first) == ErrorCode::Success;
            initialised = initialised && (up || entry.first == absent);
        }
        engine->starting = false;
        return initialised;
    }

    boardsim::BoardSim sim;
    uint16_t const port;
    Schema const schema;
    std::string dir;
    std::unique_ptr<BenchEngine> engine;
};

void MonitoringCycle(benchmark::State& state) {
    Machine machine;
    BenchEngine& engine = *machine.engine;
    if (!machine.initialise()) {
        state.SkipWithError("a board could not be initialised");
        return;
    }

    // The requests of one cycle, to be sent again without the engine.
    machine.sim.clearRequests();
    machine.cycle();
    std::vector<Packet> requests;
    for (auto const& record : machine.sim.requests()) {
        requests.emplace_back(record.address, static_cast<Packet::Command>(record.command),
                              record.slot, record.payload);
    }

    Clock::duration cycles{};
    Clock::duration direct{};
    Packet reply;
    for (auto _ : state) {
        auto const begin = Clock::now();
        machine.cycle();
        auto const middle = Clock::now();
        for (Packet const& request : requests) {
            engine.parser.send(request, reply, true, 0ms);
        }
        auto const end = Clock::now();
        cycles += middle - begin;
        direct += end - middle;
        state.SetIterationTime(std::chrono::duration<double>(middle - begin).count());
    }
    double const iterations = static_cast<double>(state.iterations());
    state.counters["requests"] = static_cast<double>(requests.size());
    state.counters["direct_us"] =
        std::chrono::duration<double, std::micro>(direct).count() / iterations;
    state.counters["cycle/direct"] = std::chrono::duration<double>(cycles).count() /
                                     std::chrono::duration<double>(direct).count();
}

// The power supply absent and silent from the start: every cycle sends it a
// heartbeat that times out, and goes on to the boards behind it.
void MonitoringCycleOneAbsent(benchmark::State& state) {
    Machine machine;
    machine.sim.setAbsentMode(boardsim::Silence::Silent);
    machine.sim.setPresent(AbsentBoard, false);
    if (!machine.initialise(AbsentBoard)) {
        state.SkipWithError("a present board could not be initialised");
        return;
    }
    machine.cycle(); // its offline edge
    for (auto _ : state) {
        auto const begin = Clock::now();
        machine.cycle();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
    }
}

double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The whole process, simulator included: an upper bound of the service's share.
void IdleCpu(benchmark::State& state) {
    Machine machine;
    machine.engine->state.with([](auto& shared) {
        shared.config.fromJson({{"statusPeriod", 5000}});
    });
    machine.engine->start();
    std::this_thread::sleep_for(500ms); // the first cycle is over
    for (auto _ : state) {
        double const cpuBefore = processCpuSeconds();
        auto const begin = Clock::now();
        std::this_thread::sleep_for(4s);
        double const wall = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = (processCpuSeconds() - cpuBefore) / wall * 100.0;
    }
    machine.engine->stop();
}

BENCHMARK(MonitoringCycle)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(Cycles)
    ->Repetitions(Repetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(MonitoringCycleOneAbsent)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(CyclesWithOneAbsent)
    ->Repetitions(Repetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(IdleCpu)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    // Per-request traces would measure the system logger, not the loop.
    Log::setLevel(Log::Level::Warning);
    benchmark::Initialize(&argc, argv);
    // Plain, counters as name=value: bench/measure-service reads them.
    MedianReporter reporter(benchmark::ConsoleReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double const absent = reporter.ratio("MonitoringCycleOneAbsent", "MonitoringCycle");
    if (absent > 0) {
        double const presentUs = reporter.medians.at("MonitoringCycle");
        double const absentUs = reporter.medians.at("MonitoringCycleOneAbsent");
        std::printf("MonitoringCycleOneAbsent / MonitoringCycle (medians): %.2f (%.0f us / %.0f "
                    "us)\n",
                    absent, absentUs, presentUs);
        // Its floor: the cycle with all present and the absent board's
        // heartbeat time-out, the board's own reads no longer made.
        std::printf("MonitoringCycleOneAbsent / its floor of all present + one heartbeat "
                    "time-out (medians): %.2f (aim <= 1)\n",
                    absentUs / (presentUs + HeartbeatTimeoutUs));
    }
    benchmark::Shutdown();
    return 0;
}
