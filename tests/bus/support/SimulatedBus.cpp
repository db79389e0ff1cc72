#include "SimulatedBus.h"

#include <thread>

namespace bustest {

std::map<uint8_t, std::string> boardNames() {
    return {{Main, "main"}, {Psu, "psu"}, {Light, "light"}};
}

void SimulatedBus::SetUp() {
    uint16_t const port = sim.start(0, "127.0.0.1");
    // The socket is pointed at the simulator before the transport ever starts.
    parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}});
    parser.configSet({TimeoutMs, 2});
    parser.start();
}

void SimulatedBus::TearDown() {
    parser.stop();
    sim.stop();
}

ErrorCode SimulatedBus::send(Packet const& request, bool retry) {
    Packet reply;
    return send(request, reply, retry);
}

ErrorCode SimulatedBus::send(Packet const& request, Packet& reply, bool retry) {
    return parser.send(request, reply, retry, 0ms);
}

ErrorCode SimulatedBus::heartbeat(uint8_t address) {
    // Its own time-out: tests change the defaults, and the simulator answers at once.
    Packet reply;
    return parser.send(Packet(address, Packet::Command::Heartbeat, 0, {}), reply, true, 1000ms);
}

void SimulatedBus::bringOnline(uint8_t address) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    ASSERT_EQ(heartbeat(address), ErrorCode::Success);
    ASSERT_TRUE(parser.isOnline(address));
    // Both were answered, so both are logged: the simulator logs a request
    // before its reply leaves.
    sim.clearRequests();
}

int SimulatedBus::addRule(uint8_t address, Packet::Command command,
                          boardsim::Action const& action) {
    boardsim::Rule rule;
    rule.match.address = address;
    rule.match.command = static_cast<uint8_t>(command);
    rule.action = action;
    return sim.addRule(rule);
}

size_t SimulatedBus::received(uint8_t address, Packet::Command command, size_t expected) const {
    boardsim::Filter filter;
    filter.address = address;
    filter.command = static_cast<uint8_t>(command);
    sim.waitFor(filter, expected, WaitMs);
    return sim.requestCount(filter);
}

std::vector<uint8_t> SimulatedBus::sequences(size_t expected) const {
    sim.waitFor({}, expected, WaitMs);
    std::vector<uint8_t> result;
    for (auto const& record : sim.requests()) {
        result.push_back(record.sequence);
    }
    return result;
}

void SimulatedBus::releaseHeld(size_t count) {
    // The held requests may still be on their way to the simulator.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
    while (sim.heldCount() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(sim.heldCount(), count);
    sim.release();
}

Packet telemetryRead(uint8_t address, uint8_t slot) {
    return Packet(address, Packet::Command::Telemetry, slot, {});
}

} // namespace bustest
