#include "support/AdaptorFixture.h"

#include "support/LogCapture.h"

#include <string>
#include <vector>

namespace devicetest {
namespace {

constexpr uint8_t ActionCommand = 4;

// The fixture schema with the light board named like the manager's "status"
// node and the power supply's schema action named like the built-in reboot.
std::string collidingSchema() {
    return fixtureSchemaWith(
        {{"<name>Light Controller</name>", "<name alias=\"status\">Light Controller</name>"},
         {"<name>Start Battery Test</name>", "<name>Reboot</name>"}});
}

class ConstructionTest : public AdaptorFixture {
protected:
    ConstructionTest() : AdaptorFixture(collidingSchema()) {}

    // Lives while SetUp builds the adaptor.
    testsupport::LogCapture log{Log::Level::Warning};
};

TEST_F(ConstructionTest, FirstRegisteredNameWinsAndTheCollisionIsLogged) {
    std::string const warnings = log.text();
    EXPECT_NE(warnings.find("[MqttAdaptor] Board at address 16 is named 'status'"),
              std::string::npos)
        << warnings;
    EXPECT_EQ(warnings.find("named 'psu'"), std::string::npos);

    connect();
    bringUp(Light);
    bringUp(Psu);

    // The root keeps the manager's node ...
    json const status = call("status/get", "", "s1");
    EXPECT_EQ(status["data"]["service"], false) << status;
    // ... while the board's calls are registered all the same.
    size_t const before = machine.sim.requestCount(boardsim::Filter{Light});
    EXPECT_EQ(call("status/action/reboot", "", "r1"), (json{{"completed", true}}));
    EXPECT_GT(machine.sim.requestCount(boardsim::Filter{Light}), before);

    // The built-in reboot answers in place of the schema action of that name.
    EXPECT_EQ(call("psu/action/reboot", "", "r2"), (json{{"completed", true}}));
    EXPECT_EQ(machine.sim.requestCount(boardsim::Filter{Psu, ActionCommand}), 0U);
}

TEST(BoardSubtreeTest, LowerSlotKeepsASharedNameAndUnmaskedStatusesHaveNoNode) {
    testsupport::ScratchDir dir;
    std::string const path = dir.write("schema.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<schema>
    <node>
        <address>0x00</address>
        <mask>0xFFFFFFFF</mask>
        <name>Main Board</name>
        <version>v1.0.0</version>
        <ota>main.bin</ota>
        <telemetry slot="3"><name>Level</name><type>NUMBER</type></telemetry>
        <telemetry slot="2"><name>Level</name><type>BOOL</type></telemetry>
        <status slot="0"><name>Fatal</name></status>
        <status slot="64"><name>Wrapped</name></status>
        <status slot="65"><name>Counted</name></status>
    </node>
</schema>
)");
    velt::ZRV480::Bus::Schema const schema(path);
    ASSERT_TRUE(schema.isValid());
    auto engine =
        std::make_shared<TestEngine>(schema, Engine::Paths{dir.path(""), dir.path("copies")});
    engine->parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", 9}});
    MqttAdaptor adaptor(engine, std::make_shared<MQTT::Client>(Base, "MQTT"));

    LambdaTree board = adaptor.boardToLambda(Main);
    EXPECT_EQ(board.topicDump("status", LambdaTree::Get),
              (std::vector<std::string>{"counted", ""}));
    EXPECT_EQ(board.topicDump("telemetry", LambdaTree::Get),
              (std::vector<std::string>{"level", ""}));
    // The node is bound to the lower slot's change signal.
    int changes = 0;
    board.connect("telemetry/level", [&changes]() { ++changes; });
    engine->getTelemetrySignals(Main).at(3).emit();
    EXPECT_EQ(changes, 0);
    engine->getTelemetrySignals(Main).at(2).emit();
    EXPECT_EQ(changes, 1);
}

} // namespace
} // namespace devicetest
