#include "support/SimulatedMachine.h"

#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

std::string readFile(std::string const& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

SimulatedMachine::SimulatedMachine()
    : port(sim.start(0, "127.0.0.1")), schema(std::string(BM_FIXTURES_DIR) + "/schema.xml") {}

SimulatedMachine::SimulatedMachine(nlohmann::json const& scenario, std::string const& schemaXml)
    : sim(scenario), port(sim.start(0, "127.0.0.1")), schema(dir.write("schema.xml", schemaXml)) {}

SimulatedMachine::~SimulatedMachine() {
    sim.stop();
}

nlohmann::json SimulatedMachine::defaultScenario() {
    return nlohmann::json::parse(readFile(BOARDSIM_DEFAULT_SCENARIO));
}

std::string SimulatedMachine::fixtureSchemaXml() {
    return readFile(std::string(BM_FIXTURES_DIR) + "/schema.xml");
}

nlohmann::json SimulatedMachine::socketConfig() const {
    // "timeoutMs" counts units of 100 microseconds: 10 ms.
    return {{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}};
}

} // namespace testsupport
