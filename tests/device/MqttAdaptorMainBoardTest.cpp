#include "support/AdaptorFixture.h"

#include "support/LogCapture.h"

#include <array>
#include <functional>
#include <string>

namespace devicetest {
namespace {

using Ip = std::array<uint8_t, 4>;
using Factory = std::function<MqttAdaptor::Setter(MqttAdaptor&)>;

json const Timeout = {{"code", 1}, {"what", "Timeout"}};
json const Malformed = {{"code", 21}, {"what", "MalformedRequest"}};

// The main board's nodes, on a main board that is up but not monitored, so
// the simulator logs only what a test sends.
class MainBoardTest : public AdaptorFixture {
protected:
    void SetUp() override {
        AdaptorFixture::SetUp();
        if (!HasFatalFailure()) {
            bringUp(Main);
        }
    }

    // Writes through the setter; a refusal must not reach the bus.
    MqttAdaptor::Result write(MqttAdaptor::Setter const& setter, json const& value) {
        size_t const before = machine.sim.requests().size();
        auto const result = setter(value);
        if (!result.first) {
            EXPECT_EQ(machine.sim.requests().size(), before) << "a refused write was sent";
        }
        return result;
    }

    static json ipRequest(std::string const& ip, std::string const& subnet,
                          std::string const& gateway) {
        return {{"ip", ip}, {"subnet", subnet}, {"gateway", gateway}};
    }
};

TEST_F(MainBoardTest, GettersAnswerTimeoutUntilTheMainBoardIsUp) {
    engine->editCache(Main, [](auto& cache) { cache.initialized = false; });
    MqttAdaptor::Getter const getters[] = {
        adaptor->mainTimestampGet(),     adaptor->mainBusStatisticsGet(),
        adaptor->mainNetworkStatusGet(), adaptor->mainNetworkBoardServerGet(),
        adaptor->mainNetworkDhcpGet(),   adaptor->mainNetworkIpGet(),
        adaptor->mainNetworkDnsGet(),
    };
    for (auto const& getter : getters) {
        EXPECT_EQ(getter(), MqttAdaptor::Result(false, Timeout));
    }
}

TEST_F(MainBoardTest, GettersAnswerTheCachedValuesInTheirForms) {
    auto network = machine.sim.network();
    network.mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    network.ip = {192, 168, 1, 20};
    network.cfgIp = {192, 168, 1, 21};
    network.netmask = {255, 255, 255, 0};
    network.gateway = {192, 168, 1, 1};
    network.dns = {9, 9, 9, 9};
    network.boardServerPort = 8080;
    network.dhcp = true;
    machine.sim.setNetwork(network);
    machine.sim.setClock(1700000123);
    engine->monitor.cacheMainNetwork();
    engine->monitor.cacheMainTimestamp();
    engine->monitor.cacheMainBusStatistics();

    EXPECT_EQ(adaptor->mainNetworkStatusGet()(),
              MqttAdaptor::Result(
                  true, {{"ip", "192.168.1.20"}, {"link", true}, {"mac", "0:26:43:60:77:94"}}));
    EXPECT_EQ(adaptor->mainNetworkIpGet()(),
              MqttAdaptor::Result(true, {{"gateway", "192.168.1.1"},
                                         {"ip", "192.168.1.21"},
                                         {"subnet", "255.255.255.0"}}));
    EXPECT_EQ(adaptor->mainNetworkDnsGet()(), MqttAdaptor::Result(true, {{"ip", "9.9.9.9"}}));
    EXPECT_EQ(adaptor->mainNetworkBoardServerGet()(), MqttAdaptor::Result(true, {{"port", 8080}}));
    EXPECT_EQ(adaptor->mainNetworkDhcpGet()(), MqttAdaptor::Result(true, true));
    EXPECT_EQ(adaptor->mainTimestampGet()(), MqttAdaptor::Result(true, 1700000123));

    auto const report = adaptor->mainBusStatisticsGet()();
    ASSERT_TRUE(report.first);
    for (char const* key : {"connected", "quality", "rx", "total", "tx"}) {
        EXPECT_TRUE(report.second.at(key).is_number_unsigned()) << key;
    }
}

TEST_F(MainBoardTest, NumberSettersTakeOnlyUnsignedIntegersInRange) {
    struct Case {
        char const* node;
        Factory setter;
        char const* payload;
        bool accepted;
    };
    Factory const timestamp = [](MqttAdaptor& a) { return a.mainTimestampSet(); };
    Factory const port = [](MqttAdaptor& a) { return a.mainNetworkBoardServerSet(); };
    Factory const dhcp = [](MqttAdaptor& a) { return a.mainNetworkDhcpSet(); };
    Case const cases[] = {
        {"timestamp", timestamp, "1700000000", true},
        {"timestamp", timestamp, "2147483647", true},
        {"timestamp", timestamp, "2147483648", false},
        {"timestamp", timestamp, "-5", false},
        {"timestamp", timestamp, "1.5", false},
        {"timestamp", timestamp, "1e3", false},
        {"timestamp", timestamp, "\"5\"", false},
        {"server", port, "8080", true},
        {"server", port, "65535", true},
        {"server", port, "65536", false},
        {"server", port, "-1", false},
        {"server", port, "80.5", false},
        {"server", port, "\"8080\"", false},
        {"server", port, R"({"port":8080})", false},
        {"dhcp", dhcp, "true", true},
        {"dhcp", dhcp, "false", true},
        {"dhcp", dhcp, "1", false},
        {"dhcp", dhcp, "\"true\"", false},
        {"dhcp", dhcp, "null", false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.node) + " " + c.payload);
        auto const result = write(c.setter(*adaptor), json::parse(c.payload));
        if (!c.accepted) {
            EXPECT_EQ(result, MqttAdaptor::Result(false, Malformed));
            continue;
        }
        EXPECT_TRUE(result.first) << result.second;
        auto const network = machine.sim.network();
        json const written = json::parse(c.payload);
        if (std::string(c.node) == "timestamp") {
            EXPECT_EQ(machine.sim.clock(), written.get<int32_t>());
        } else if (std::string(c.node) == "server") {
            EXPECT_EQ(network.boardServerPort, written.get<uint16_t>());
            EXPECT_EQ(result.second, (json{{"port", written}}));
        } else {
            EXPECT_EQ(network.dhcp, written.get<bool>());
        }
    }
}

TEST_F(MainBoardTest, AddressSettersSendOnlyWellFormedAddresses) {
    struct Case {
        char const* text;
        bool accepted;
        Ip octets;
    };
    Case const cases[] = {
        {"192.168.1.20", true, {192, 168, 1, 20}},
        {"192.168.001.020", true, {192, 168, 1, 20}},
        {"192.168.1.08", true, {192, 168, 1, 8}},
        {"256.0.0.1", false, {}},
        {"10.0.0.1.7", false, {}},
        {"10..0.0.1", false, {}},
        {"10.0.1", false, {}},
        {"10.0.a.1", false, {}},
        {"", false, {}},
    };
    std::string const good = "10.1.2.3";
    for (auto const& c : cases) {
        // The text in each of the four places an address is written.
        struct Place {
            char const* name;
            json request;
            std::function<Ip()> sent;
            MqttAdaptor::Setter setter;
        };
        Place const places[] = {
            {"ip", ipRequest(c.text, good, good), [&] { return machine.sim.network().cfgIp; },
             adaptor->mainNetworkIpSet()},
            {"subnet", ipRequest(good, c.text, good), [&] { return machine.sim.network().netmask; },
             adaptor->mainNetworkIpSet()},
            {"gateway", ipRequest(good, good, c.text),
             [&] { return machine.sim.network().gateway; }, adaptor->mainNetworkIpSet()},
            {"dns",
             {{"ip", c.text}},
             [&] { return machine.sim.network().dns; },
             adaptor->mainNetworkDnsSet()},
        };
        for (auto const& place : places) {
            SCOPED_TRACE(std::string(place.name) + " '" + c.text + "'");
            auto const result = write(place.setter, place.request);
            if (!c.accepted) {
                EXPECT_EQ(result, MqttAdaptor::Result(false, Malformed));
                continue;
            }
            ASSERT_TRUE(result.first) << result.second;
            EXPECT_EQ(place.sent(), c.octets);
            EXPECT_EQ(result.second.at(place.name == std::string("dns") ? "ip" : place.name),
                      "192.168.1." + std::to_string(c.octets[3]));
        }
    }
}

TEST_F(MainBoardTest, AddressSettersRefuseRequestsOfTheWrongShape) {
    struct Case {
        char const* payload;
        bool dns;
        size_t fieldWarnings;
    };
    Case const cases[] = {
        {R"("192.168.1.20")", false, 0},
        {R"(["192.168.1.20"])", false, 0},
        {R"({"ip":"1.2.3.4","subnet":"255.0.0.0"})", false, 1},
        {R"({"ip":"1.2.3.4","subnet":"255.0.0.0","gateway":7})", false, 1},
        {R"("1.2.3.4")", true, 0},
        {R"({"ip":7})", true, 1},
        {R"({})", true, 1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        testsupport::LogCapture log(Log::Level::Warning);
        auto const setter = c.dns ? adaptor->mainNetworkDnsSet() : adaptor->mainNetworkIpSet();
        EXPECT_EQ(write(setter, json::parse(c.payload)), MqttAdaptor::Result(false, Malformed));
        EXPECT_EQ(log.count("[MqttAdaptor] Request field missing or is of wrong type"),
                  c.fieldWarnings);
    }
}

TEST_F(MainBoardTest, OnlyTheFirstBadAddressIsReported) {
    testsupport::LogCapture log(Log::Level::Info);
    EXPECT_EQ(write(adaptor->mainNetworkIpSet(), ipRequest("10.0.a.1", "x.0.0.0", "300.1.1.1")),
              MqttAdaptor::Result(false, Malformed));
    std::string const text = log.text();
    EXPECT_NE(text.find(R"([MqttAdaptor] Called with {"gateway":"300.1.1.1","ip":"10.0.a.1",)"),
              std::string::npos);
    EXPECT_NE(text.find("[MqttAdaptor] Ip part is not numeric"), std::string::npos);
    EXPECT_EQ(text.find("subnet part"), std::string::npos);
    EXPECT_EQ(text.find("gateway part"), std::string::npos);
    EXPECT_EQ(text.find("four dot-separated"), std::string::npos);
}

TEST_F(MainBoardTest, TreeAnswersASetWithTheNodeAsReadBack) {
    connect();
    EXPECT_EQ(call("mainBoard/misc/network/server/set", "8080", "s1"),
              (json{{"completed", true}, {"data", {{"port", 8080}}}}));

    json const refused = call("mainBoard/misc/network/server/set", R"({"port":8081})", "s2");
    EXPECT_EQ(refused["completed"], false);
    EXPECT_EQ(refused["error"], (json{{"mainBoard/misc/network/server", Malformed}}));
    EXPECT_EQ(refused["data"], (json{{"port", 8080}}));
    EXPECT_EQ(machine.sim.network().boardServerPort, 8080);
}

} // namespace
} // namespace devicetest
