#include "bus/Driver.h"

#include "support/LogCapture.h"
#include "support/UdpPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bustest::Bytes;
using bustest::Inbox;
using bustest::UdpPeer;
using nlohmann::json;
using velt::ZRV480::Bus::Driver;
using namespace std::chrono_literals;

json loopback(uint16_t port, int timeout = 100) {
    return {{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", timeout}};
}

class DriverTest : public ::testing::Test {
protected:
    // Sends one datagram and returns the port the peer saw it come from.
    uint16_t transmitAndSeeSource(Bytes const& bytes) {
        driver.transmit(bytes);
        auto const got = gateway.receive();
        EXPECT_TRUE(got);
        if (!got) {
            return 0;
        }
        EXPECT_EQ(got->first, bytes);
        return got->second;
    }

    UdpPeer gateway;
    Driver driver;
    Inbox inbox{driver};
};

TEST(DriverDefaults, PointAtTheMachinesGateway) {
    Driver driver; // never started: nothing may be sent to that address from here
    EXPECT_EQ(driver.getConfig(),
              json({{"address", "10.10.10.4"}, {"port", 10000}, {"timeoutMs", 100}}));
}

TEST_F(DriverTest, ConfigStartsTheTransportAndRepliesAreDelivered) {
    driver.setConfig(loopback(gateway.port));
    EXPECT_EQ(driver.getConfig(), loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({0, 1, 0x7F, 0});

    gateway.sendTo(source, {0xC9, 1, 0x7F, 0});
    EXPECT_EQ(inbox.next(), (Bytes{0xC9, 1, 0x7F, 0}));

    gateway.sendTo(source, {});
    EXPECT_EQ(inbox.next(), Bytes{});

    Bytes big(600);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = uint8_t(i);
    }
    gateway.sendTo(source, big);
    EXPECT_EQ(inbox.next(), Bytes(big.begin(), big.begin() + 512));
}

// Datagrams come in from the gateway's address and port alone, and their
// senders never become the destination.
TEST_F(DriverTest, OnlyTheGatewaysDatagramsAreDelivered) {
    driver.setConfig(loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({1});
    UdpPeer otherAddress("127.0.0.5", gateway.port);
    UdpPeer otherPort;
    otherAddress.sendTo(source, {0xC9, 0, 0x7F, 0});
    otherPort.sendTo(source, {0xC9, 1, 0x7F, 0});
    gateway.sendTo(source, {0xC9, 2, 0x7F, 0});
    // Delivered in order: a stranger's datagram would come first.
    EXPECT_EQ(inbox.next(), (Bytes{0xC9, 2, 0x7F, 0}));
    transmitAndSeeSource({2});
    EXPECT_FALSE(otherAddress.receive(50));
    EXPECT_FALSE(otherPort.receive(50));
}

TEST_F(DriverTest, NewGatewayReplacesTheOldOneAtOnce) {
    driver.setConfig(loopback(gateway.port));
    transmitAndSeeSource({1});
    UdpPeer next("127.0.0.7");
    driver.setConfig({{"address", "127.0.0.7"}, {"port", next.port}});
    driver.transmit({2});
    auto const got = next.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->first, Bytes{2});
    EXPECT_FALSE(gateway.receive(50));
    gateway.sendTo(got->second, {0xC9, 0, 0x7F, 0}); // the old gateway is a stranger now
    next.sendTo(got->second, {0xC9, 1, 0x7F, 0});
    EXPECT_EQ(inbox.next(), (Bytes{0xC9, 1, 0x7F, 0}));
}

TEST_F(DriverTest, StartWhileRunningKeepsTheSocket) {
    driver.setConfig(loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({1});
    driver.start();
    EXPECT_EQ(transmitAndSeeSource({2}), source);
}

TEST_F(DriverTest, BadSocketPartIsRefusedAndTheOldSocketStays) {
    driver.setConfig(loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({1});
    struct Case {
        json part;
        char const* field;
    };
    std::vector<Case> const cases = {
        {{{"address", "10.10.10"}}, "address"},
        {{{"address", "gateway"}}, "address"},
        {{{"address", 10}}, "address"},
        {{{"port", 0}}, "port"},
        {{{"port", 65536}}, "port"},
        {{{"port", 75536}}, "port"},
        {{{"port", -1}}, "port"},
        {{{"port", "10000"}}, "port"},
        {{{"port", 10000.5}}, "port"},
        {{{"timeoutMs", 0}}, "timeoutMs"},
        {{{"timeoutMs", 10000}}, "timeoutMs"},
        {json::array({1}), "object"},
        {{{"address", "127.0.0.2"}, {"port", 0}}, "port"},
        // A name with '/' would reach below a member of the settings.
        {{{"port/x", 1}}, "port/x"},
        {{{"address/x", "1"}}, "address/x"},
        {{{"timeoutMs/1000000", 1}}, "timeoutMs/1000000"},
        {{{"address", "127.0.0.2"}, {"gateway", "127.0.0.3"}}, "gateway"},
    };
    for (Case const& c : cases) {
        try {
            driver.setConfig(c.part);
            ADD_FAILURE() << "accepted " << c.part.dump();
        } catch (std::invalid_argument const& e) {
            EXPECT_NE(std::string(e.what()).find(c.field), std::string::npos) << e.what();
        }
        EXPECT_EQ(driver.getConfig(), loopback(gateway.port)) << c.part.dump();
    }
    EXPECT_EQ(transmitAndSeeSource({2}), source);
}

TEST_F(DriverTest, ThrowingSlotIsLoggedAndReceptionGoesOn) {
    Driver ownDriver;
    bool thrown = false;
    ownDriver.dataReceived.connect([&thrown](Bytes const&) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("boom");
        }
    });
    Inbox ownInbox(ownDriver);
    testsupport::LogCapture log;
    ownDriver.setConfig(loopback(gateway.port));
    ownDriver.transmit({1});
    auto const source = gateway.receive();
    ASSERT_TRUE(source);
    gateway.sendTo(source->second, {1, 1, 1, 1});
    gateway.sendTo(source->second, {2, 2, 2, 2});
    EXPECT_EQ(ownInbox.next(), (Bytes{2, 2, 2, 2}));
    ownDriver.stop();
    EXPECT_EQ(log.count("[Driver] Callback failed: boom"), 1u);
}

// A slot that fails on every datagram of a flood fills no disk.
TEST_F(DriverTest, SlotFailingOnAFloodIsLoggedAFewTimesASecond) {
    driver.dataReceived.connect([](Bytes const&) { throw std::runtime_error("boom"); });
    driver.setConfig(loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({1});
    testsupport::LogCapture log;
    auto const begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        gateway.sendTo(source, {0});
    }
    // Delivered, the last datagram follows all the others that were.
    gateway.sendTo(source, {1});
    for (auto got = inbox.next(); got && *got != Bytes{1}; got = inbox.next()) {
    }
    auto const seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    size_t const written = log.count("[Driver] Callback failed: boom");
    EXPECT_GE(written, 1u);
    EXPECT_LE(written, 5 * size_t(seconds + 1));
}

TEST_F(DriverTest, StopDoesNotWaitForTheSocketTimeout) {
    driver.setConfig(loopback(gateway.port, 9999)); // about one second per receive
    transmitAndSeeSource({1});
    auto const begin = std::chrono::steady_clock::now();
    driver.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    driver.transmit({2}); // stopped: silently nothing
    EXPECT_FALSE(gateway.receive(50));
}

TEST(DriverSettings, SettersStoreWhatTheGettersRead) {
    velt::ZRV480::Bus::Config config;
    config.setUdpAddress("127.0.0.1");
    config.setUdpPort(10001);
    config.setTimeoutMs(50);
    EXPECT_EQ(config.getUdpAddress(), "127.0.0.1");
    EXPECT_EQ(config.getUdpPort(), 10001u);
    EXPECT_EQ(config.getTimeoutMs(), 50u);
    EXPECT_EQ(config.toJson(), loopback(10001, 50));
}

} // namespace
