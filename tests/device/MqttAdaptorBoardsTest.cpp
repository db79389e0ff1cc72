#include "support/AdaptorFixture.h"

#include "foundation/LambdaTree.h"

#include <string>
#include <vector>

namespace devicetest {
namespace {

using Topics = std::vector<std::string>;

json const Timeout = {{"code", 1}, {"what", "Timeout"}};

class BoardsTest : public AdaptorFixture {};

TEST_F(BoardsTest, SubtreesOfTheFixtureSchema) {
    struct Case {
        uint8_t address;
        LambdaTree::Ability ability;
        Topics topics;
    };
    Case const cases[] = {
        {Main,
         LambdaTree::Get,
         {"board",
          "config/busSpeed",
          "config",
          "misc/bootloader/flags",
          "misc/bootloader/status",
          "misc/bootloader",
          "misc/busStatistics",
          "misc/info",
          "misc/network/dhcp",
          "misc/network/dns",
          "misc/network/ip",
          "misc/network/server",
          "misc/network/status",
          "misc/network",
          "misc/timestamp",
          "misc/uptime",
          "misc",
          "status/busError",
          "status",
          "telemetry/boardTemperature",
          "telemetry/uptime",
          "telemetry",
          ""}},
        {Main,
         LambdaTree::Set,
         {"config/busSpeed", "config", "misc/bootloader/flags", "misc/bootloader",
          "misc/network/dhcp", "misc/network/dns", "misc/network/ip", "misc/network/server",
          "misc/network", "misc/timestamp", "misc", ""}},
        {Main,
         LambdaTree::Notify,
         {"status/busError", "status", "telemetry/boardTemperature", "telemetry/uptime",
          "telemetry", ""}},
        {Psu,
         LambdaTree::Get,
         {"board",
          "config/batteryLowThreshold",
          "config/chargeVoltageLimit",
          "config/fanMode",
          "config/outputEnabled",
          "config",
          "misc/bootloader/flags",
          "misc/bootloader/status",
          "misc/bootloader",
          "misc/info",
          "misc/uptime",
          "misc",
          "status/mainsLost",
          "status/onBattery",
          "status/overTemperature",
          "status",
          "telemetry/batteryLevel",
          "telemetry/chargerState",
          "telemetry/inputVoltage",
          "telemetry/mainsPresent",
          "telemetry",
          ""}},
        {Psu,
         LambdaTree::Set,
         {"config/batteryLowThreshold", "config/chargeVoltageLimit", "config/fanMode",
          "config/outputEnabled", "config", "misc/bootloader/flags", "misc/bootloader", "misc",
          ""}},
        {Psu,
         LambdaTree::Notify,
         {"status/mainsLost", "status/onBattery", "status/overTemperature", "status",
          "telemetry/batteryLevel", "telemetry/chargerState", "telemetry/inputVoltage",
          "telemetry/mainsPresent", "telemetry", ""}},
        {Light,
         LambdaTree::Get,
         {"board", "config/lightP1", "config/lightRgb1", "config", "misc/bootloader/flags",
          "misc/bootloader/status", "misc/bootloader", "misc/info", "misc/uptime", "misc",
          "status/ledDriverFault", "status", "telemetry/actualColour", "telemetry/ledCurrent",
          "telemetry", ""}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::to_string(c.address) + " ability " + std::to_string(c.ability));
        EXPECT_EQ(adaptor->boardToLambda(c.address).topicDump("", c.ability), c.topics);
    }
}

TEST_F(BoardsTest, RootHoldsTheManagerNodesAndOneSubtreePerBoard) {
    connect();
    json const root = call("get", "", "root");
    ASSERT_TRUE(root.contains("data")) << root;
    Topics children;
    for (auto const& [name, value] : root["data"].items()) {
        children.push_back(name);
    }
    EXPECT_EQ(children, (Topics{"firmwareUpgrade", "info", "lightController", "mainBoard", "psu",
                                "statistics", "status"}));
    EXPECT_TRUE(root["data"]["statistics"].contains("bus"));
    EXPECT_TRUE(root["data"]["statistics"].contains("cache"));
}

TEST_F(BoardsTest, MonitoredValuesArePublishedWhenTheEngineSeesThemChange) {
    connect();
    startEngine();
    for (char const* node : {"psu/telemetry/batteryLevel", "psu/status/mainsLost"}) {
        EXPECT_EQ(call(std::string(node) + "/monitor", R"({"active":true})", "m1")["completed"],
                  true);
    }
    machine.sim.setRaw(Psu, boardsim::SlotTable::Telemetry, 1, 55);
    machine.sim.setStatusText(Psu, 4, 1, "Mains lost");
    machine.sim.setStatus(Psu, 1U << 4, 0); // the status pass reads the slots flagged here

    // Publications of the values before the change may come first.
    auto const published = [this](std::string const& node, json const& value) {
        mqtttest::Received message;
        while (recorder->take(below(node), message)) {
            if (json::parse(message.payload, nullptr, false) == value) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(published("psu/telemetry/batteryLevel", 55));
    EXPECT_TRUE(published("psu/status/mainsLost", {{"code", 1}, {"message", "Mains lost"}}));
}

TEST_F(BoardsTest, GettersAnswerTimeoutWhileTheBoardIsNotUp) {
    LambdaTree psu = adaptor->boardToLambda(Psu);
    LambdaTree::Errors const errors = psu.update("");
    LambdaTree::Errors expected;
    for (auto const& leaf : psu.topicDump("", LambdaTree::Get)) {
        if (psu.target(leaf, "").getKind() == LambdaTree::Kind::Lambda) {
            expected[leaf] = Timeout;
        }
    }
    EXPECT_EQ(expected.size(), 16U);
    EXPECT_EQ(errors, expected);
    EXPECT_EQ(psu.get("misc/info"), nullptr);
}

TEST_F(BoardsTest, GettersAnswerTheCachedValues) {
    machine.sim.setStatus(Psu, (1U << 1) | (1U << 4), (1U << 0) | (1U << 6));
    bringUp(Psu);
    for (uint8_t slot : {0, 1, 2, 3}) {
        engine->monitor.cacheTelemetry(Psu, slot);
    }
    for (uint8_t slot : {0, 1, 2, 4}) {
        engine->monitor.cacheConfig(Psu, slot);
    }

    LambdaTree psu = adaptor->boardToLambda(Psu);
    // Enum telemetry carries no value.
    EXPECT_EQ(psu.update(""), (LambdaTree::Errors{{"telemetry/chargerState",
                                                   {{"code", 22}, {"what", "InvalidParameter"}}}}));
    json value = psu.get("");
    EXPECT_GE(value["misc"]["uptime"].get<uint64_t>(), 3600U);
    value["misc"].erase("uptime");
    value["misc"]["bootloader"].erase("status");
    value["misc"]["bootloader"]["flags"] = value["misc"]["bootloader"]["flags"]["allowDowngrade"];
    json const expected = {
        // Slot 0 reads false whatever its bits say; it has no status node.
        {"board",
         {{"status",
           {{"fatal", false},
            {"mainsLost", true},
            {"onBattery", false},
            {"overTemperature", true}}},
          {"errors",
           {{"fatal", false},
            {"mainsLost", false},
            {"onBattery", true},
            {"overTemperature", false}}}}},
        {"config",
         {{"batteryLowThreshold", 20},
          {"chargeVoltageLimit", 13.8},
          {"fanMode", "auto"},
          {"outputEnabled", true}}},
        {"misc",
         {{"bootloader", {{"flags", true}}},
          {"info",
           {{"boardId", "00555350-00000000-00000000-02000000"},
            {"boardName", "psu"},
            {"boardVersion", 2},
            {"firmwareName", "psu"},
            {"firmwareVersion", 123}}}}},
        {"status",
         {{"mainsLost", {{"code", 0}, {"message", "Mains present"}}},
          {"onBattery", {{"code", 0}, {"message", "On mains"}}},
          {"overTemperature", {{"code", 0}, {"message", "OK"}}}}},
        {"telemetry",
         {{"batteryLevel", 87},
          {"chargerState", nullptr},
          {"inputVoltage", 24.12},
          {"mainsPresent", true}}},
    };
    EXPECT_EQ(value, expected);
}

TEST_F(BoardsTest, ConfigurationWritesGoThroughTheEngine) {
    bringUp(Light);
    bringUp(Psu);
    LambdaTree light = adaptor->boardToLambda(Light);
    EXPECT_TRUE(light.set("config/lightRgb1", {{"r", 1}, {"g", 2}, {"b", 3}}).empty());
    EXPECT_EQ(light.get("config/lightRgb1"), (json{{"r", 1}, {"g", 2}, {"b", 3}}));

    // Refused by the engine before anything is sent: the node keeps its value.
    LambdaTree psu = adaptor->boardToLambda(Psu);
    engine->monitor.cacheConfig(Psu, 2);
    size_t const before = machine.sim.requests().size();
    EXPECT_EQ(psu.set("config/batteryLowThreshold", 3.5),
              (LambdaTree::Errors{
                  {"config/batteryLowThreshold", {{"code", 22}, {"what", "InvalidParameter"}}}}));
    EXPECT_EQ(psu.get("config/batteryLowThreshold"), 20);
    EXPECT_EQ(machine.sim.requests().size(), before);
}

TEST_F(BoardsTest, BootloaderFlagsAreWrittenOnlyFromAnObject) {
    bringUp(Psu);
    auto const setter = adaptor->boardBootloaderFlagsSet(Psu);
    json const malformed = {{"code", 21}, {"what", "MalformedRequest"}};
    for (json const& refused : {json::array({true}), json(true), json("noChecks")}) {
        SCOPED_TRACE(refused.dump());
        size_t const before = machine.sim.requests().size();
        EXPECT_EQ(setter(refused), MqttAdaptor::Result(false, malformed));
        EXPECT_EQ(machine.sim.requests().size(), before);
    }

    auto const result = setter({{"noChecks", true}});
    ASSERT_TRUE(result.first) << result.second;
    EXPECT_EQ(result.second["noChecks"], true);
    EXPECT_EQ(machine.sim.bootloaderFlags(Psu), 0);
    EXPECT_EQ(adaptor->boardBootloaderFlagsGet(Psu)(), result);
}

} // namespace
} // namespace devicetest
