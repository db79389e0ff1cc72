#include "bus/Driver.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace {

using nlohmann::json;
using velt::ZRV480::Bus::Driver;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// A UDP socket on 127.0.0.1 that plays the gateway.
class UdpPeer {
public:
    UdpPeer() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(local);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
            throw std::runtime_error("cannot open the test peer");
        }
        port = ntohs(local.sin_port);
    }
    ~UdpPeer() { ::close(fd); }

    // The next datagram and the port it came from, or nothing within timeoutMs.
    std::optional<std::pair<Bytes, uint16_t>> receive(int timeoutMs = 1000) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        Bytes buffer(2048);
        sockaddr_in from{};
        socklen_t size = sizeof(from);
        ssize_t const n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        buffer.resize(n < 0 ? 0 : size_t(n));
        return std::make_pair(buffer, ntohs(from.sin_port));
    }

    void sendTo(uint16_t toPort, Bytes const& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(toPort);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }

    int fd;
    uint16_t port;
};

// Collects what the driver delivers; tests wait on it instead of sleeping.
class Inbox {
public:
    explicit Inbox(Driver& driver) {
        driver.dataReceived.connect([this](Bytes const& bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            datagrams.push_back(bytes);
            arrived.notify_all();
        });
    }
    std::optional<Bytes> next() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, 2s, [this] { return taken < datagrams.size(); })) {
            return std::nullopt;
        }
        return datagrams[taken++];
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> datagrams; // guarded by mutex
    size_t taken = 0;             // guarded by mutex
};

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

TEST_F(DriverTest, SenderOfADatagramNeverBecomesTheDestination) {
    driver.setConfig(loopback(gateway.port));
    uint16_t const source = transmitAndSeeSource({1});
    UdpPeer stranger;
    stranger.sendTo(source, {0xC9, 0, 0x7F, 0});
    ASSERT_TRUE(inbox.next());
    transmitAndSeeSource({2});
    EXPECT_FALSE(stranger.receive(50));
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
    Driver driver;
    bool thrown = false;
    driver.dataReceived.connect([&thrown](Bytes const&) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("boom");
        }
    });
    Inbox inbox(driver);
    testsupport::LogCapture log;
    driver.setConfig(loopback(gateway.port));
    driver.transmit({1});
    auto const source = gateway.receive();
    ASSERT_TRUE(source);
    gateway.sendTo(source->second, {1, 1, 1, 1});
    gateway.sendTo(source->second, {2, 2, 2, 2});
    EXPECT_EQ(inbox.next(), (Bytes{2, 2, 2, 2}));
    driver.stop();
    EXPECT_EQ(log.count("[Driver] Callback failed: boom"), 1u);
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
