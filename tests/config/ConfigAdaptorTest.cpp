#include "config/ConfigAdaptor.h"
#include "config/Config.h"
#include "engine/Engine.h"

#include "support/ConfigFiles.h"
#include "support/SimulatedMachine.h"

#include <gtest/gtest.h>

#include <memory>

using nlohmann::json;
using velt::ZRV480::BoardManager::Config::Config;
using velt::ZRV480::BoardManager::Manager::ConfigAdaptor;
using velt::ZRV480::BoardManager::Manager::Engine;

namespace {

// The adaptor over an engine of the fixture schema that is never started:
// its boards are not initialised, so board values are stored as received.
class ConfigAdaptorTest : public configtest::ConfigFiles {
protected:
    ConfigAdaptorTest() { config->declareConfigurable(adaptor); }
    ~ConfigAdaptorTest() override { config->clearConfigurables(); }

    testsupport::SimulatedMachine machine;
    std::string const file = path("zrv480-boardman.json");
    std::shared_ptr<Config> config = std::make_shared<Config>(file);
    std::shared_ptr<Engine> engine = std::make_shared<Engine>(
        machine.schema, Engine::Paths{machine.dir.path(), machine.dir.path("copies")});
    std::shared_ptr<ConfigAdaptor> adaptor = std::make_shared<ConfigAdaptor>(config, engine);
};

TEST_F(ConfigAdaptorTest, SectionsReachTheEngineAndAreReadBack) {
    adaptor->onConfigSet({{"device", {{"statusPeriod", 1000}, {"socket", machine.socketConfig()}}},
                          {"boards", {{"psu", {{"outputEnabled", false}}}}},
                          {"mqtt", {{"url", "ignored here"}}}});

    json const sections = adaptor->onConfigGet();
    EXPECT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections["device"]["statusPeriod"], 1000);
    EXPECT_EQ(sections["device"]["socket"]["port"], machine.port);
    EXPECT_EQ(sections["boards"]["psu"], json({{"outputEnabled", false}}));
    EXPECT_EQ(sections["boards"]["mainBoard"], nullptr);
}

TEST_F(ConfigAdaptorTest, RefusedDeviceSectionStillLetsTheBoardsSectionApply) {
    json const before = engine->getDeviceConfig();

    EXPECT_ANY_THROW(
        adaptor->onConfigSet({{"device", 5}, {"boards", {{"psu", {{"outputEnabled", true}}}}}}));

    EXPECT_EQ(engine->getDeviceConfig(), before);
    EXPECT_EQ(engine->getBoardsConfig()["psu"], json({{"outputEnabled", true}}));
}

TEST_F(ConfigAdaptorTest, StartUpCompleteRewritesTheFileWithTheEngineSections) {
    engine->boardConfigChanged.emit();

    json const written = json::parse(readText(file));
    EXPECT_EQ(written["device"], engine->getDeviceConfig());
    EXPECT_EQ(written["boards"], engine->getBoardsConfig());
    EXPECT_NE(logged().find("[EngineConfigAdaptor] Calling config rewrite"), std::string::npos);
}

TEST_F(ConfigAdaptorTest, ABoardsStoredValueRewritesTheFile) {
    adaptor->onConfigSet({{"boards", {{"psu", {{"outputEnabled", true}}}}}});
    engine->boardConfigStored.emit(testsupport::Psu);

    json const written = json::parse(readText(file));
    EXPECT_EQ(written["boards"], engine->getBoardsConfig());
}

} // namespace
