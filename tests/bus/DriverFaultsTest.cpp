#include "bus/Driver.h"

#include "support/LogWatch.h"
#include "support/UdpPeer.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <string>

// This program's own recvfrom, socket and connect stand in front of the C
// library's, so that the listener's receive, the driver's next socket and
// its connection to the gateway fail exactly when a test asks for it.
namespace {

std::atomic<int> failingReceives{0}; // receives still to fail, on any socket but the peer's
std::atomic<int> failingSockets{0};  // socket() calls still to fail
std::atomic<int> failingConnects{0}; // IPv4 connect() calls still to fail
std::atomic<int> peerSocket{-1};

bool takeOne(std::atomic<int>& left) {
    int now = left;
    while (now > 0 && !left.compare_exchange_weak(now, now - 1)) {
    }
    return now > 0;
}

template <typename Function> Function next(char const* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                            socklen_t* fromSize) {
    using Recvfrom = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);
    static Recvfrom const real = next<Recvfrom>("recvfrom");
    if (fd != peerSocket && takeOne(failingReceives)) {
        errno = ENOMEM;
        return -1;
    }
    return real(fd, buffer, size, flags, from, fromSize);
}

extern "C" int socket(int domain, int type, int protocol) {
    using Socket = int (*)(int, int, int);
    static Socket const real = next<Socket>("socket");
    if (takeOne(failingSockets)) {
        errno = EMFILE;
        return -1;
    }
    return real(domain, type, protocol);
}

extern "C" int connect(int fd, sockaddr const* address, socklen_t size) {
    using Connect = int (*)(int, sockaddr const*, socklen_t);
    static Connect const real = next<Connect>("connect");
    // The log's own connection to the system logger goes through.
    if (address->sa_family == AF_INET && takeOne(failingConnects)) {
        errno = ENETUNREACH;
        return -1;
    }
    return real(fd, address, size);
}

namespace {

using bustest::Bytes;
using bustest::Inbox;
using bustest::UdpPeer;
using velt::ZRV480::Bus::Driver;

class DriverFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        peerSocket = gateway.fd;
        driver.setConfig({{"address", "127.0.0.1"}, {"port", gateway.port}, {"timeoutMs", 100}});
        ASSERT_TRUE(roundTrip({1}));
    }
    void TearDown() override {
        failingReceives = 0;
        failingSockets = 0;
        failingConnects = 0;
    }

    // Transmits `bytes`; the gateway answers them back to the port they came
    // from. True when the answer was delivered.
    bool roundTrip(Bytes const& bytes) {
        driver.transmit(bytes);
        auto const got = gateway.receive();
        if (!got) {
            return false;
        }
        gateway.sendTo(got->second, got->first);
        return inbox.next() == bytes;
    }

    testsupport::LogWatch log;
    UdpPeer gateway;
    Driver driver;
    Inbox inbox{driver};
};

// A receive error ends the socket it happened on, never the listening: the
// transport goes on with a new socket, or, when that cannot work, stops so
// that the next start opens it anew instead of finding it still running.
TEST_F(DriverFaultsTest, ReceiveErrorRestartsTheListenerOrStopsTheTransport) {
    struct Case {
        char const* name;
        int receives; // failing receives in a row
        int sockets;  // failing socket() calls after them
        char const* outcome;
        bool stops;
    };
    Case const cases[] = {
        {"one failed receive", 1, 0, "[Driver] Listener restarted on a new socket", false},
        {"the new socket fails at once too", 2, 0,
         "[Driver] Transport stopped: a new socket failed as well", true},
        {"no new socket", 1, 1, "[Driver] Transport stopped: failed to acquire socket", true},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        size_t const errors = log.count("[Driver] recvfrom says: Cannot allocate memory");
        size_t const ended = log.count("[Driver] Listener thread stopped");
        // Counted before the fault: the listener may log its outcome at once.
        size_t const outcomes = log.count(c.outcome);
        failingSockets = c.sockets;
        failingReceives = c.receives;
        ASSERT_TRUE(log.waitFor(c.outcome, 5000, outcomes + 1));
        EXPECT_EQ(log.count("[Driver] recvfrom says: Cannot allocate memory"),
                  errors + size_t(c.receives));
        if (c.stops) {
            ASSERT_TRUE(log.waitFor("[Driver] Listener thread stopped", 5000, ended + 1));
            driver.start();
        }
        EXPECT_TRUE(roundTrip({2}));
        EXPECT_EQ(log.count("[Driver] Listener thread stopped"), ended + (c.stops ? 1 : 0));
    }
    driver.stop();
}

// A datagram to a closed port draws an ICMP error, which a connected socket
// reports on its next receive: the gateway is away, the socket is sound and
// stays.
TEST_F(DriverFaultsTest, UnreachableGatewayKeepsTheSocket) {
    uint16_t closed = 0;
    {
        UdpPeer gone;
        closed = gone.port;
    }
    driver.setConfig({{"port", closed}});
    driver.transmit({1});
    ASSERT_TRUE(log.waitFor("[Driver] recvfrom says: Connection refused"));
    UdpPeer back("127.0.0.1", closed);
    driver.transmit({2});
    auto const first = back.receive();
    ASSERT_TRUE(first);
    back.sendTo(first->second, {3});
    EXPECT_EQ(inbox.next(), Bytes{3});
    driver.transmit({4});
    auto const second = back.receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->second, first->second); // the same socket
    EXPECT_EQ(log.count("[Driver] Listener restarted"), 0u);
    EXPECT_EQ(log.count("[Driver] Transport stopped"), 0u);
}

// Where the socket cannot be connected (no route to the gateway yet), the
// listener itself drops whatever does not come from the gateway.
TEST_F(DriverFaultsTest, UnconnectedSocketStillTakesTheGatewayAlone) {
    failingConnects = 1;
    driver.restart();
    ASSERT_TRUE(log.waitFor("[Driver] Could not connect to the gateway: Network is unreachable"));
    driver.transmit({1});
    auto const got = gateway.receive();
    ASSERT_TRUE(got);
    UdpPeer stranger("127.0.0.5", gateway.port);
    stranger.sendTo(got->second, {9});
    gateway.sendTo(got->second, {1});
    EXPECT_EQ(inbox.next(), Bytes{1});
}

} // namespace
