#include "support/EngineFixture.h"
#include "support/LogWatch.h"

#include "bus/Protocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

// This program's own recvfrom stands in front of the C library's, so that
// the bus transport's receives fail when a test asks for it. The
// simulator's socket, bound to its port, is never failed.
namespace {

std::atomic<int> failingReceives{0};
std::atomic<int> simulatorPort{-1};

bool takeOne(std::atomic<int>& left) {
    int now = left;
    while (now > 0 && !left.compare_exchange_weak(now, now - 1)) {
    }
    return now > 0;
}

int localPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

} // namespace

extern "C" ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                            socklen_t* fromSize) {
    using Recvfrom = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);
    static Recvfrom const real = reinterpret_cast<Recvfrom>(::dlsym(RTLD_NEXT, "recvfrom"));
    if (localPort(fd) != simulatorPort && takeOne(failingReceives)) {
        errno = ENOMEM;
        return -1;
    }
    return real(fd, buffer, size, flags, from, fromSize);
}

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;

class EngineTransport : public EngineFixture {
protected:
    void SetUp() override {
        simulatorPort = machine.port;
        EngineFixture::SetUp();
    }
    void TearDown() override {
        failingReceives = 0;
        EngineFixture::TearDown();
    }
};

TEST_F(EngineTransport, ATransportStoppedByReceiveErrorsIsBroughtBackAtTheNextCycle) {
    machine.sim.putFile("schema.xml", machine.schema.getBinary());
    testsupport::LogWatch log;
    engine->start();
    Filter const cycleStarts{Main, static_cast<uint8_t>(Protocol::Command::Heartbeat)};
    ASSERT_TRUE(machine.sim.waitFor(cycleStarts, 2, 5000));

    // Two in a row: the fresh socket fails at once as well, so the
    // transport gives up.
    failingReceives = 2;
    ASSERT_TRUE(log.waitFor("[Driver] Transport stopped: a new socket failed as well", 5000));
    ASSERT_TRUE(log.waitFor("[Engine] Bus transport stopped, restarting it", 5000));
    machine.sim.clearRequests();
    EXPECT_TRUE(machine.sim.waitFor(cycleStarts, 2, 5000));
    EXPECT_TRUE(machine.sim.waitFor(
        Filter{Light, static_cast<uint8_t>(Protocol::Command::Telemetry)}, 1, 5000));
    engine->stop();
    EXPECT_EQ(log.count("[Engine] Bus transport stopped, restarting it"), 1u);
}

} // namespace
} // namespace enginetest
