#include "support/AdaptorFixture.h"

#include "engine/Status.h"
#include "support/ScratchDir.h"

#include <memory>
#include <string>

namespace devicetest {
namespace {

using velt::ZRV480::BoardManager::Manager::EngineState;
using velt::ZRV480::BoardManager::Manager::Status;

class ManagerTest : public AdaptorFixture {
protected:
    static json read(MqttAdaptor::Getter const& getter) {
        auto const result = getter();
        EXPECT_TRUE(result.first) << "manager getters never fail";
        return result.second;
    }
};

TEST_F(ManagerTest, InfoDescribesTheServiceAndEveryBoard) {
    json const unknown = {{"lightController", nullptr}, {"mainBoard", nullptr}, {"psu", nullptr}};
    json info = read(adaptor->getManagerInfo());
    EXPECT_EQ(info.dump(), json({{"device",
                                  {{"boards", unknown},
                                   {"manufacturer", "velt"},
                                   {"path", "127.0.0.1:" + std::to_string(machine.port)},
                                   {"type", "udp"}}},
                                 {"service", {{"type", "zrv480-boardman"}, {"version", "3.1.5"}}}})
                               .dump());

    bringUp(Psu);
    info = read(adaptor->getManagerInfo());
    EXPECT_EQ(info["device"]["boards"]["psu"]["boardName"], "psu");
    EXPECT_EQ(info["device"]["boards"]["psu"]["firmwareVersion"], 123);
    EXPECT_EQ(info["device"]["boards"]["lightController"], nullptr);

    // The path follows the transport settings in effect.
    engine->setDeviceConfig({{"socket", {{"port", 9}}}});
    EXPECT_EQ(read(adaptor->getManagerInfo())["device"]["path"], "127.0.0.1:9");
}

TEST_F(ManagerTest, StatusShowsTheServiceAndTheManagersState) {
    EXPECT_EQ(
        read(adaptor->getManagerStatus()),
        (json{{"device", {{"active", true}, {"firmwareUpgrade", "None"}}}, {"service", false}}));
    engine->state.with([&](EngineState& s) {
        s.status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
    });
    EXPECT_EQ(read(adaptor->getManagerStatus())["device"]["firmwareUpgrade"], "PendingReboot");
}

TEST_F(ManagerTest, StatisticsCountRequestsOnceThereAreAny) {
    EXPECT_EQ(read(adaptor->getManagerBusStatistics()), nullptr);
    json const cache = read(adaptor->getManagerMonitorStatistics());
    EXPECT_TRUE(cache.contains("caheAge")) << cache;
    EXPECT_TRUE(cache["caheAge"].contains("psu")) << cache;

    bringUp(Psu);
    json const bus = read(adaptor->getManagerBusStatistics());
    EXPECT_GT(bus["psu"]["completed"].get<uint64_t>(), 0U) << bus;
}

TEST(ManagerWithoutBoardsTest, InfoListsBoardsAsNull) {
    // A schema that could not be read leaves the engine without boards.
    testsupport::ScratchDir dir;
    velt::ZRV480::Bus::Schema const schema(dir.path("missing.xml"));
    auto engine =
        std::make_shared<TestEngine>(schema, Engine::Paths{dir.path(""), dir.path("copies")});
    engine->parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", 9}});
    auto client = std::make_shared<MQTT::Client>(Base, "MQTT");
    MqttAdaptor adaptor(engine, client);
    auto const info = adaptor.getManagerInfo()();
    ASSERT_TRUE(info.first);
    EXPECT_TRUE(info.second["device"].contains("boards"));
    EXPECT_EQ(info.second["device"]["boards"], nullptr);
}

} // namespace
} // namespace devicetest
