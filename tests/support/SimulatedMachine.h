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
// simulator answering on an ephemeral loopback port, a schema that matches
// it, and a scratch directory of its own. Nothing here reaches beyond
// 127.0.0.1.
class SimulatedMachine {
public:
    // The simulator's default scenario and the fixture schema.
    SimulatedMachine();
    // A variant machine: the scenario and the schema document given (the
    // schema is written into the scratch directory as "schema.xml").
    SimulatedMachine(nlohmann::json const& scenario, std::string const& schemaXml);
    ~SimulatedMachine();
    SimulatedMachine(SimulatedMachine const&) = delete;
    SimulatedMachine& operator=(SimulatedMachine const&) = delete;

    // Starting points for variants.
    static nlohmann::json defaultScenario();
    static std::string fixtureSchemaXml();

    // The transport settings ("socket") that reach the simulator; give them
    // to the bus layer before it starts.
    nlohmann::json socketConfig() const;

    ScratchDir const dir;
    boardsim::BoardSim sim;
    uint16_t const port;
    velt::ZRV480::Bus::Schema const schema;
};

} // namespace testsupport
