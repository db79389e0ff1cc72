#pragma once

#include "BoardSim.h"
#include "bus/Schema.h"
#include "support/ScratchDir.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace testsupport {

// The boards of the fixture schema ("tests/fixtures/schema.xml") by address.
constexpr uint8_t Main = 0;   // "mainBoard"
constexpr uint8_t Psu = 1;    // "psu"
constexpr uint8_t Light = 16; // "lightController"

// A simulated machine for the layers above the bus: the in-process board
// simulator (default scenario) answering on an ephemeral loopback port, the
// fixture schema that matches it, and a scratch directory of its own.
// Nothing here reaches beyond 127.0.0.1.
class SimulatedMachine {
public:
    SimulatedMachine();
    ~SimulatedMachine();
    SimulatedMachine(SimulatedMachine const&) = delete;
    SimulatedMachine& operator=(SimulatedMachine const&) = delete;

    // The transport settings ("socket") that reach the simulator; give them
    // to the bus layer before it starts.
    nlohmann::json socketConfig() const;

    boardsim::BoardSim sim;
    uint16_t const port;
    velt::ZRV480::Bus::Schema const schema;
    ScratchDir const dir;
};

} // namespace testsupport
