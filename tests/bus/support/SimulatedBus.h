#pragma once

#include "BoardSim.h"
#include "bus/Packet.h"
#include "bus/Parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bustest {

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Parser;
using velt::ZRV480::Bus::Common::ErrorCode;
using namespace std::chrono_literals;

constexpr uint8_t Main = 0;
constexpr uint8_t Psu = 1;
constexpr uint8_t Light = 16;
constexpr uint8_t Broadcast = 255;

// The boards the simulator answers for, by the names the parser knows them.
std::map<uint8_t, std::string> boardNames();

// A parser talking to the in-process board simulator on a loopback port,
// with time-outs short enough that silence costs a fraction of a second and
// long enough that a loaded machine still answers in time.
class SimulatedBus : public ::testing::Test {
protected:
    static constexpr int64_t TimeoutMs = 500;
    static constexpr int WaitMs = 2000; // upper bound for the simulator's waitFor

    void SetUp() override;
    void TearDown() override;

    // One request through Parser::send with the default time-out.
    ErrorCode send(Packet const& request, bool retry = true);
    ErrorCode send(Packet const& request, Packet& reply, bool retry = true);
    ErrorCode heartbeat(uint8_t address);
    // A heartbeat to the main board and one to `address`, so both are online.
    void bringOnline(uint8_t address);
    // A fault rule for every request that matches `command` to `address`.
    int addRule(uint8_t address, Packet::Command command, boardsim::Action const& action);
    // A request that timed out may still be on its way to the simulator, so
    // these wait (bounded) until `expected` requests are logged before they look.
    // Requests of `command` to `address`:
    size_t received(uint8_t address, Packet::Command command, size_t expected) const;
    // The sequence numbers of all requests, in arrival order:
    std::vector<uint8_t> sequences(size_t expected) const;
    // Sends the replies that hold rules kept back, once there are `count`.
    void releaseHeld(size_t count);

    boardsim::BoardSim sim;
    Parser parser{boardNames()};
};

Packet telemetryRead(uint8_t address, uint8_t slot);

} // namespace bustest
