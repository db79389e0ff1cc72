#include "support/SimulatedMachine.h"

namespace testsupport {

SimulatedMachine::SimulatedMachine()
    : port(sim.start(0, "127.0.0.1")), schema(std::string(BM_FIXTURES_DIR) + "/schema.xml") {}

SimulatedMachine::~SimulatedMachine() {
    sim.stop();
}

nlohmann::json SimulatedMachine::socketConfig() const {
    // "timeoutMs" counts units of 100 microseconds: 10 ms.
    return {{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}};
}

} // namespace testsupport
