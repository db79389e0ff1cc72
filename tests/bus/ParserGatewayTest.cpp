// The parser against a gateway played by a socket of the test, which answers
// every request by hand, while other sockets send to the parser's port.
#include "support/LogCapture.h"
#include "support/SimulatedBus.h"
#include "support/UdpPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bustest {
namespace {

using nlohmann::json;
using Command = Packet::Command;
using Clock = std::chrono::steady_clock;

// The log less the listener thread's start lines, which a loaded machine may
// delay past the start into a case's log.
std::string withoutListenerStart(std::string const& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        bool const start = line.find("[Driver] Listener thread start") != std::string::npos ||
                           line.find("listener priority to max(") != std::string::npos;
        if (!start) {
            kept += line + "\n";
        }
    }
    return kept;
}

class ParserGatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        parser.socketConfigSet(
            {{"address", "127.0.0.1"}, {"port", gateway.port}, {"timeoutMs", 100}});
        parser.configSet({2000, 2});
        parser.start();
        ASSERT_EQ(answered(Packet(Main, Command::Heartbeat, 0, {}), {0, 0, 0, 0}),
                  ErrorCode::Success);
        ASSERT_EQ(answered(Packet(Psu, Command::Heartbeat, 0, {}), {0, 0, 0, 0}),
                  ErrorCode::Success);
    }
    void TearDown() override { parser.stop(); }

    // Sends `request` from another thread; once the gateway has it,
    // `meanwhile` runs with its sequence number, then the gateway answers
    // with `payload`. The parser's port is known from then on.
    ErrorCode answered(Packet const& request, Bytes const& payload,
                       std::function<void(uint8_t)> const& meanwhile = {}) {
        auto result = std::async(std::launch::async, [this, &request] {
            Packet reply;
            return parser.send(request, reply, true, 0ms);
        });
        auto const got = gateway.receive(2000);
        EXPECT_TRUE(got);
        if (got) {
            uint8_t const sequence = got->first.at(1);
            parserPort = got->second;
            if (meanwhile) {
                meanwhile(sequence);
            }
            gateway.sendTo(parserPort, Packet(Packet::AddressHost, request.getCommand(),
                                              request.getSlot(), payload)
                                           .toBytes(sequence));
        }
        return result.get();
    }

    UdpPeer gateway;
    Parser parser{boardNames()};
    uint16_t parserPort = 0;
};

// Replies that only look like the gateway's: well-formed ones with a forged
// value, error replies and refused frames for the request in flight, sent
// from the gateway's port on another address and from another port on the
// gateway's address before the gateway answers.
TEST_F(ParserGatewayTest, OtherSendersChangeNoValueStateOrStatistics) {
    struct Case {
        char const* what;
        std::function<Bytes(uint8_t sequence)> datagram;
    };
    std::vector<Case> const cases = {
        {"forged value", [](uint8_t s) { return Bytes{0xC9, s, 0x01, 1, 0x9F, 0x86, 0x01, 0x00}; }},
        {"protocol error",
         [](uint8_t s) {
             return Bytes{0xC9, s, 0x83, 1};
         }},
        {"bus time-out",
         [](uint8_t s) {
             return Bytes{0xC9, s, 0x82, 1};
         }},
        {"refused frame",
         [](uint8_t s) {
             return Bytes{0xC9, s, 0x80, 0};
         }},
        {"other sequence",
         [](uint8_t s) {
             return Bytes{0xC9, uint8_t(s + 9), 0x01, 1, 7};
         }},
        {"short",
         [](uint8_t) {
             return Bytes{0xC9, 1};
         }},
    };
    UdpPeer otherAddress("127.0.0.5", gateway.port);
    UdpPeer otherPort;
    json const before = parser.getBusStatistics().toJson();
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        int32_t value = -1;
        auto read = std::async(std::launch::async, [this, &value] {
            return parser.int32Get(telemetryRead(Psu, 1), value);
        });
        auto const got = gateway.receive(2000);
        ASSERT_TRUE(got);
        uint8_t const sequence = got->first.at(1);
        for (UdpPeer* stranger : {&otherAddress, &otherPort}) {
            stranger->sendTo(got->second, c.datagram(sequence));
        }
        gateway.sendTo(got->second, {0xC9, sequence, 0x01, 1, 42, 0, 0, 0});
        EXPECT_EQ(read.get(), ErrorCode::Success);
        EXPECT_EQ(value, 42);
        EXPECT_TRUE(parser.isOnline(Main));
        EXPECT_TRUE(parser.isOnline(Psu));
        EXPECT_EQ(withoutListenerStart(log.text()), "");
    }
    json expected = before;
    for (char const* counter : {"completed", "transmited"}) {
        expected["psu"][counter] = before["psu"][counter].get<int>() + int(cases.size());
    }
    EXPECT_EQ(parser.getBusStatistics().toJson(), expected);
}

// Garbage from the gateway's own address and port cannot be refused by its
// sender: its lines are written a few times a second, with the count of
// those left out.
TEST_F(ParserGatewayTest, FloodOfGarbageLeavesTheLogSmall) {
    struct Case {
        char const* what;
        Bytes datagram; // byte 1, the sequence number, is set per datagram
        std::vector<std::string> lines;
    };
    std::vector<Case> const cases = {
        {"refused frames",
         {0xC9, 0, 0x80, 0},
         {"[Parser] Could not parse packet: MalformedResponse",
          "[Parser] Ignoring non expected sequence number: 0x"}},
        {"short datagrams", {0xC9, 0, 0x01}, {"[Parser] Ignoring malformed response of size 3."}},
    };
    constexpr size_t Flood = 100000;
    constexpr size_t PerSecond = 5;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        Bytes datagram = c.datagram;
        auto const begin = Clock::now();
        for (size_t i = 0; i < Flood && Clock::now() - begin < 20s; ++i) {
            datagram[1] = uint8_t(i);
            gateway.sendTo(parserPort, datagram);
        }
        // One more after a quiet second tells what was left out. The reply
        // that follows it shows that everything before was handled.
        std::this_thread::sleep_for(1100ms);
        gateway.sendTo(parserPort, datagram);
        ASSERT_EQ(answered(Packet(Main, Command::Heartbeat, 0, {}), {0, 0, 0, 0}),
                  ErrorCode::Success);
        auto const seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count();
        std::string const text = log.text();
        size_t const bound = PerSecond * size_t(seconds + 2);
        for (std::string const& line : c.lines) {
            size_t written = 0;
            for (size_t at = text.find(line); at != std::string::npos;
                 at = text.find(line, at + 1)) {
                ++written;
            }
            EXPECT_GE(written, 2u) << line;
            EXPECT_LE(written, bound) << line << " in " << seconds << " s";
        }
        EXPECT_NE(text.find("more in the last second)"), std::string::npos);
        EXPECT_LT(text.size(), bound * c.lines.size() * 200) << text.size() << " bytes";
    }
}

} // namespace
} // namespace bustest
