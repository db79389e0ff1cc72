#include "support/LogCapture.h"
#include "support/LogWatch.h"
#include "support/SimulatedBus.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <limits>
#include <set>
#include <thread>

namespace {

using namespace bustest;
using boardsim::Action;
using boardsim::Filter;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;
using Command = Packet::Command;

Filter matching(uint8_t address, Command command) {
    Filter filter;
    filter.address = address;
    filter.command = static_cast<uint8_t>(command);
    return filter;
}

using ParserBus = SimulatedBus;

TEST_F(ParserBus, HeartbeatBringsTheBusOnline) {
    EXPECT_FALSE(parser.isOnline(Main));
    Packet reply;
    testsupport::LogCapture log;
    ASSERT_EQ(send(Packet(Main, Command::Heartbeat, 0, {}), reply), ErrorCode::Success);
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    EXPECT_EQ(log.count("[Parser] Setting main online"), 1u); // only when it changes
    EXPECT_EQ(reply.getAddress(), Packet::AddressHost);
    EXPECT_EQ(reply.getCommand(), Command::Heartbeat);
    EXPECT_EQ(reply.getPayload().size(), 4u); // the uptime
    EXPECT_TRUE(parser.isOnline(Main));
    EXPECT_FALSE(parser.isOnline(Psu)); // each board comes online by its own answer
    EXPECT_THROW(parser.isOnline(42), std::out_of_range);
}

TEST_F(ParserBus, OfflineRequestsAreDroppedWithoutTraffic) {
    {
        testsupport::LogCapture log;
        EXPECT_EQ(send(telemetryRead(Main, 0)), ErrorCode::Timeout);
        EXPECT_EQ(heartbeat(Psu), ErrorCode::Timeout); // only the main board's heartbeat passes
        EXPECT_EQ(log.count("[Parser] Dropping request to main: bus offline"), 1u);
        EXPECT_EQ(log.count("[Parser] Dropping request to psu: bus offline"), 1u);
    }
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    {
        testsupport::LogCapture log;
        EXPECT_EQ(send(telemetryRead(Psu, 0)), ErrorCode::Timeout);
        EXPECT_EQ(log.count("[Parser] Dropping request to psu: target offline"), 1u);
    }
    EXPECT_EQ(sequences(1).size(), 1u); // the heartbeat alone
    EXPECT_EQ(parser.getBusStatistics().toJson(), json({{"main",
                                                         {{"completed", 1},
                                                          {"consecutiveFailures", 0},
                                                          {"failures", 0},
                                                          {"timeouts", 0},
                                                          {"transmited", 1}}}}));
    EXPECT_THROW(send(telemetryRead(42, 0)), std::out_of_range);
}

TEST_F(ParserBus, NothingIsSentWhileStopped) {
    parser.stop();
    {
        testsupport::LogCapture log;
        EXPECT_EQ(heartbeat(Main), ErrorCode::Timeout);
        EXPECT_EQ(log.text(), "");
    }
    parser.start();
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    EXPECT_EQ(sequences(1), (std::vector<uint8_t>{0})); // no number was used while stopped
    EXPECT_EQ(parser.getBusStatistics().toJson()["main"]["transmited"], 1);
}

// A stop ends at once the request waiting for its reply, however long its
// time-out and attempts, and the one waiting for its turn; neither is
// counted, logged or taken for the bus's silence.
TEST_F(ParserBus, StopEndsTheRequestsInFlightAtOnce) {
    bringOnline(Psu);
    addRule(Psu, Command::Telemetry, Action::dropReply());
    parser.configSet({10000, 2});
    json const before = parser.getBusStatistics().toJson();
    auto read = [this](uint8_t slot) {
        return std::async(std::launch::async, [this, slot] {
            Packet reply;
            ErrorCode const result = parser.send(telemetryRead(Psu, slot), reply, true, 0ms);
            return std::make_pair(result, std::chrono::steady_clock::now());
        });
    };
    auto inFlight = read(0);
    ASSERT_EQ(received(Psu, Command::Telemetry, 1), 1u);
    auto waiting = read(1);
    testsupport::LogCapture log;
    auto const stop = std::chrono::steady_clock::now();
    parser.stop();
    for (auto* request : {&inFlight, &waiting}) {
        auto const [result, ended] = request->get();
        EXPECT_EQ(result, ErrorCode::Timeout);
        EXPECT_LT(ended - stop, 100ms)
            << std::chrono::duration<double, std::milli>(ended - stop).count() << " ms";
    }
    EXPECT_EQ(log.count("[Parser] "), 2u); // "Stopping..." and "Stopped!"
    EXPECT_EQ(parser.getBusStatistics().toJson(), before);
    parser.start();
    EXPECT_TRUE(parser.isOnline(Psu));
    EXPECT_EQ(received(Psu, Command::Telemetry, 1), 1u); // no further attempt
}

TEST_F(ParserBus, SilenceIsRetriedWithTheSameSequenceThenTheBusGoesOffline) {
    bringOnline(Psu);
    addRule(Psu, Command::Telemetry, Action::dropReply());
    Packet reply(7, Command::Action, 9, {1, 2});
    {
        testsupport::LogCapture log;
        EXPECT_EQ(send(telemetryRead(Psu, 0), reply), ErrorCode::Timeout);
        EXPECT_EQ(log.count("[Parser] Setting psu offline: (response=Timeout, request=[01 02 "
                            "01 00 ])"),
                  1u);
        EXPECT_EQ(log.count("[Parser] Setting bus offline: Timeout"), 1u);
    }
    EXPECT_EQ(reply.getAddress(), 7); // a failed request leaves the reply as given
    EXPECT_EQ(reply.getPayload(), (Bytes{1, 2}));
    EXPECT_EQ(sequences(3), (std::vector<uint8_t>{2, 2, 2}));
    EXPECT_FALSE(parser.isOnline(Psu));
    EXPECT_FALSE(parser.isOnline(Main));

    EXPECT_EQ(send(telemetryRead(Psu, 1)), ErrorCode::Timeout);
    EXPECT_EQ(sequences(3).size(), 3u); // dropped without traffic

    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    EXPECT_FALSE(parser.isOnline(Psu)); // its drop-out: it comes back by its own heartbeat
    json const psu = parser.getBusStatistics().toJson()["psu"];
    EXPECT_EQ(psu, json({{"completed", 1},
                         {"consecutiveFailures", 3},
                         {"failures", 0},
                         {"timeouts", 3},
                         {"transmited", 4}}));
}

// A board already offline is sent heartbeats alone; when one goes unanswered
// the board is still away, and the bus stays with the other boards. Every
// other time-out takes the bus offline until the main board answers.
TEST_F(ParserBus, OnlyTheSilenceOfABoardAlreadyOfflineLeavesTheBusOnline) {
    struct Case {
        char const* name;
        uint8_t address;
        Packet request;
        bool targetOnline; // before the request
        bool busStays;
    };
    Packet const beat(Psu, Command::Heartbeat, 0, {});
    std::vector<Case> const cases = {
        {"heartbeat to a psu already offline", Psu, beat, false, true},
        {"heartbeat to an online psu", Psu, beat, true, false},
        {"read from an online psu", Psu, telemetryRead(Psu, 0), true, false},
        {"heartbeat to the main board", Main, Packet(Main, Command::Heartbeat, 0, {}), true, false},
        {"heartbeat broadcast", Broadcast, Packet(Broadcast, Command::Heartbeat, 0, {}), true,
         false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        bringOnline(Psu);
        if (!c.targetOnline) {
            int const refusal = addRule(Psu, Command::Telemetry, Action::errorReply(0x82));
            ASSERT_EQ(send(telemetryRead(Psu, 0)), ErrorCode::BusTimeout);
            sim.removeRule(refusal);
        }
        int const silence = addRule(c.address, c.request.getCommand(), Action::dropReply());
        // Counted as a failure of the board it was sent to.
        std::string const name = c.address == Broadcast ? "unknown" : boardNames().at(c.address);
        auto timeouts = [&name](json const& stats) {
            return stats.contains(name) ? stats.at(name).at("timeouts").get<int>() : 0;
        };
        int const before = timeouts(parser.getBusStatistics().toJson());
        testsupport::LogCapture log;
        EXPECT_EQ(send(c.request), ErrorCode::Timeout);
        EXPECT_EQ(parser.isOnline(Main), c.busStays);
        EXPECT_EQ(log.count("[Parser] Setting bus offline: Timeout"), c.busStays ? 0u : 1u);
        EXPECT_GT(timeouts(parser.getBusStatistics().toJson()), before);
        if (c.address == Psu) {
            EXPECT_FALSE(parser.isOnline(Psu));
            EXPECT_EQ(log.count("[Parser] Setting psu offline: (response=Timeout"),
                      c.targetOnline ? 1u : 0u);
            // Offline now, it is away at its next silent heartbeat: the bus
            // stays with the other boards.
            ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
            int const away = addRule(Psu, Command::Heartbeat, Action::dropReply());
            EXPECT_EQ(send(beat), ErrorCode::Timeout);
            EXPECT_TRUE(parser.isOnline(Main));
            sim.removeRule(away);
        }
        sim.removeRule(silence);
        EXPECT_EQ(heartbeat(Main), ErrorCode::Success);
        EXPECT_EQ(send(telemetryRead(Main, 0)), ErrorCode::Success);
    }
}

TEST_F(ParserBus, ErrorBytesDecideRepetitionAndOnlineState) {
    struct Case {
        uint8_t errorByte;
        ErrorCode result;
        size_t attempts;
        bool staysOnline;
    };
    std::vector<Case> const cases = {
        {0x81, ErrorCode::BusGeneralError, 3, false},  {0x82, ErrorCode::BusTimeout, 1, false},
        {0x83, ErrorCode::BusProtocolError, 3, false}, {0x84, ErrorCode::BusNodeError, 1, true},
        {0x85, ErrorCode::BusInvalidSlot, 1, true},    {0x86, ErrorCode::BusInvalidValue, 1, true},
        {0x87, ErrorCode::BusGeneralError, 3, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(testing::Message() << "error byte 0x" << std::hex << int(c.errorByte));
        bringOnline(Psu);
        int const rule = addRule(Psu, Command::Telemetry, Action::errorReply(c.errorByte));
        testsupport::LogCapture log;
        EXPECT_EQ(send(telemetryRead(Psu, 0)), c.result);
        EXPECT_EQ(received(Psu, Command::Telemetry, c.attempts), c.attempts);
        EXPECT_EQ(parser.isOnline(Psu), c.staysOnline);
        EXPECT_TRUE(parser.isOnline(Main)); // a board's error never takes the bus down
        EXPECT_EQ(log.count("[Parser] Setting psu offline: (response="), c.staysOnline ? 0u : 1u);
        sim.removeRule(rule);
    }
    // 3 + 1 + 3 + 1 + 1 + 1 + 3 attempts, every one a failure; 0x82 counts as a time-out.
    json const psu = parser.getBusStatistics().toJson()["psu"];
    EXPECT_EQ(psu["transmited"], 13 + 7);
    EXPECT_EQ(psu["completed"], 7);
    EXPECT_EQ(psu["timeouts"], 1);
    EXPECT_EQ(psu["failures"], 12);
}

TEST_F(ParserBus, OfflineWarningNamesTheRequest) {
    bringOnline(Psu);
    addRule(Psu, Command::Telemetry, Action::errorReply(0x82));
    testsupport::LogCapture log;
    send(telemetryRead(Psu, 3));
    EXPECT_EQ(
        log.count("[Parser] Setting psu offline: (response=BusTimeout, request=[01 02 01 03 ])"),
        1u);
}

TEST_F(ParserBus, OfflineBoardGetsOneHeartbeatOnly) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    addRule(Psu, Command::Heartbeat, Action::dropReply());
    EXPECT_EQ(heartbeat(Psu), ErrorCode::Timeout);
    EXPECT_EQ(received(Psu, Command::Heartbeat, 1), 1u);
}

TEST_F(ParserBus, MainBoardProtocolErrorKeepsTheBusOnline) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    addRule(Main, Command::Telemetry, Action::errorReply(0x83));
    testsupport::LogCapture log;
    EXPECT_EQ(send(telemetryRead(Main, 0)), ErrorCode::BusProtocolError);
    EXPECT_EQ(log.count("[Parser] Setting main offline: (response=BusProtocolError"), 1u);
    EXPECT_TRUE(parser.isOnline(Main));
}

TEST_F(ParserBus, MismatchedRepliesAreProtocolErrors) {
    struct Case {
        char const* what;
        Action action;
        ErrorCode result;
        bool busOnline;
    };
    std::vector<Case> const cases = {
        {"another command", Action::withCommand(2), ErrorCode::BusProtocolError, true},
        {"another address", Action::fromAddress(0), ErrorCode::BusProtocolError, true},
        {"refused frame", Action::errorReply(0x80), ErrorCode::MalformedResponse, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        bringOnline(Psu);
        int const rule = addRule(Psu, Command::Telemetry, c.action);
        EXPECT_EQ(send(telemetryRead(Psu, 0)), c.result);
        EXPECT_EQ(received(Psu, Command::Telemetry, 3), 3u); // repeated every time
        EXPECT_EQ(parser.isOnline(Main), c.busOnline);
        sim.removeRule(rule);
    }
}

TEST_F(ParserBus, LateReplyOfThePreviousRequestIsIgnored) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success); // sequence 0
    // The reply of sequence 1 is held past its time-out and released while
    // sequence 2 waits: the parser must pair by sequence, not by order.
    boardsim::Rule hold;
    hold.match = matching(Main, Command::Heartbeat);
    hold.action = Action::held();
    sim.addRule(hold);
    parser.configSet({TimeoutMs, 0});
    EXPECT_EQ(heartbeat(Main), ErrorCode::Timeout);

    Packet reply;
    auto second = std::async(std::launch::async, [&] {
        return parser.send(Packet(Main, Command::Heartbeat, 0, {}), reply, false, 2000ms);
    });
    ASSERT_TRUE(sim.waitFor(matching(Main, Command::Heartbeat), 3, WaitMs));
    testsupport::LogCapture log;
    releaseHeld(2); // sequence 1's late reply first, then sequence 2's
    ASSERT_EQ(second.get(), ErrorCode::Success);
    EXPECT_EQ(reply.getSequence(), 2);
    EXPECT_EQ(log.count("Ignoring non expected sequence number"), 0u);
}

TEST_F(ParserBus, SequenceWrapsAndOnlyTheTwoPreviousAreExpectedLate) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    for (int i = 1; i < 256; ++i) {
        ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    }
    boardsim::Rule hold;
    hold.match = matching(Main, Command::Heartbeat);
    hold.action = Action::held();
    sim.addRule(hold);
    auto wrapped = std::async(std::launch::async, [&] {
        Packet reply;
        ErrorCode const result =
            parser.send(Packet(Main, Command::Heartbeat, 0, {}), reply, false, 2000ms);
        return std::make_pair(result, reply.getSequence());
    });
    ASSERT_TRUE(sim.waitFor(matching(Main, Command::Heartbeat), 257, WaitMs));
    testsupport::LogCapture log;
    sim.sendUnsolicited({0xC9, 0xFF, 0x7F, 0}); // the request before: silent
    sim.sendUnsolicited({0xC9, 0xFE, 0x7F, 0}); // older: worth a warning
    releaseHeld(1);
    auto const [result, sequence] = wrapped.get();
    EXPECT_EQ(result, ErrorCode::Success);
    EXPECT_EQ(sequence, 0);
    EXPECT_EQ(log.count("Ignoring non expected sequence number: 0xff"), 0u);
    EXPECT_EQ(log.count("[Parser] Ignoring non expected sequence number: 0xfe"), 1u);
}

// The request in flight reads its own reply; a datagram that comes while no
// request waits, right after a run of them too, still reaches the parser.
TEST_F(ParserBus, DatagramBetweenRequestsIsStillHandled) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    }
    testsupport::LogWatch log;
    sim.sendUnsolicited({0xC9, 0x80, 0x7F, 0});
    EXPECT_TRUE(log.waitFor("[Parser] Ignoring non expected sequence number: 0x80", 2000));
}

TEST_F(ParserBus, ShortDatagramIsLoggedAndTheRequestTimesOut) {
    bringOnline(Psu);
    addRule(Psu, Command::Telemetry, Action::shortReply(3));
    parser.configSet({TimeoutMs, 0});
    testsupport::LogCapture log;
    EXPECT_EQ(send(telemetryRead(Psu, 0)), ErrorCode::Timeout);
    EXPECT_EQ(log.count("[Parser] Ignoring malformed response of size 3."), 1u);
}

TEST_F(ParserBus, AttemptLimits) {
    bringOnline(Psu);
    struct Case {
        char const* what;
        Parser::Config config;
        std::chrono::milliseconds timeout;
        bool silent;
        ErrorCode result;
        size_t attempts;
    };
    uint64_t const most = std::numeric_limits<uint64_t>::max();
    std::vector<Case> const cases = {
        {"no default time-out", {0, 0}, 0ms, true, ErrorCode::Timeout, 1},
        {"more attempts than a byte counts", {1, 299}, 0ms, true, ErrorCode::Timeout, 300},
        {"largest retransmit still tries", {TimeoutMs, most}, 0ms, false, ErrorCode::Success, 1},
        {"own time-out over the default", {0, 0}, 1000ms, false, ErrorCode::Success, 1},
        {"largest default time-out",
         {std::numeric_limits<int64_t>::max(), 0},
         0ms,
         false,
         ErrorCode::Success,
         1},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        bringOnline(Psu); // a silent case took it offline
        int const rule = c.silent ? addRule(Psu, Command::Telemetry, Action::dropReply()) : 0;
        parser.configSet(c.config);
        Packet reply;
        EXPECT_EQ(parser.send(telemetryRead(Psu, 0), reply, true, c.timeout), c.result);
        EXPECT_EQ(received(Psu, Command::Telemetry, c.attempts), c.attempts);
        sim.removeRule(rule);
    }
}

TEST_F(ParserBus, BroadcastTimeoutTakesTheBusOffline) {
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    EXPECT_TRUE(parser.isOnline(Broadcast));
    addRule(Broadcast, Command::Heartbeat, Action::dropReply());
    EXPECT_EQ(send(Packet(Broadcast, Command::Heartbeat, 0, {}), false), ErrorCode::Timeout);
    EXPECT_FALSE(parser.isOnline(Main));
    EXPECT_EQ(parser.getBusStatistics().toJson()["unknown"]["timeouts"], 1);
}

// The broadcast's own entry goes offline on an error reply 101 to 103; then
// only a heartbeat broadcast leaves until one succeeds.
TEST_F(ParserBus, BroadcastErrorHoldsBackBroadcastsUntilAHeartbeat) {
    struct Case {
        uint8_t errorByte;
        ErrorCode result;
    };
    std::vector<Case> const cases = {{0x81, ErrorCode::BusGeneralError},
                                     {0x82, ErrorCode::BusTimeout},
                                     {0x83, ErrorCode::BusProtocolError}};
    for (Case const& c : cases) {
        SCOPED_TRACE(testing::Message() << "error byte 0x" << std::hex << int(c.errorByte));
        ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
        sim.clearRequests();
        int const rule = addRule(Broadcast, Command::Misc, Action::errorReply(c.errorByte));
        EXPECT_EQ(send(Packet(Broadcast, Command::Misc, 0, {}), false), c.result);
        sim.removeRule(rule);
        EXPECT_FALSE(parser.isOnline(Broadcast));
        EXPECT_TRUE(parser.isOnline(Main));
        {
            testsupport::LogCapture log;
            EXPECT_EQ(send(Packet(Broadcast, Command::Misc, 1, {}), false), ErrorCode::Timeout);
            EXPECT_EQ(log.count("[Parser] Dropping request to broadcast: target offline"), 1u);
        }
        testsupport::LogCapture log;
        EXPECT_EQ(send(Packet(Broadcast, Command::Heartbeat, 0, {}), false), ErrorCode::Success);
        EXPECT_EQ(log.count("[Parser] Setting broadcast online"), 1u);
        EXPECT_TRUE(parser.isOnline(Broadcast));
        EXPECT_EQ(received(Broadcast, Command::Misc, 1), 1u); // the dropped one never left
    }
}

// A second reply to the attempt in flight (a duplicated datagram) cannot
// replace the first: the request keeps the first value, and the duplicate,
// like the board's own reply after them, is dropped later as a late reply of
// the request that just ended.
TEST_F(ParserBus, SecondReplyWithTheSameSequenceKeepsTheFirst) {
    bringOnline(Psu);
    boardsim::Rule hold;
    hold.match = matching(Psu, Command::Telemetry);
    hold.action = Action::held();
    int const rule = sim.addRule(hold);
    Packet reply;
    auto request = std::async(std::launch::async, [&] {
        return parser.send(telemetryRead(Psu, 0), reply, false, 2000ms);
    });
    ASSERT_TRUE(sim.waitFor(matching(Psu, Command::Telemetry), 1, WaitMs));
    uint8_t const sequence = sim.requests().back().sequence;
    testsupport::LogCapture log;
    sim.sendUnsolicited({0xC9, sequence, 0x01, 0, 1, 0, 0, 0});
    sim.sendUnsolicited({0xC9, sequence, 0x01, 0, 2, 0, 0, 0});
    releaseHeld(1);
    ASSERT_EQ(request.get(), ErrorCode::Success);
    EXPECT_EQ(reply.getPayload(), (Bytes{1, 0, 0, 0}));
    sim.removeRule(rule);
    ASSERT_EQ(send(telemetryRead(Psu, 1), reply), ErrorCode::Success);
    EXPECT_EQ(reply.getSlot(), 1);
    EXPECT_EQ(log.count("Ignoring non expected sequence number"), 0u);
    EXPECT_EQ(log.count("Callback failed"), 0u);
}

TEST_F(ParserBus, ConcurrentSendersNeverInterleave) {
    bringOnline(Psu);
    addRule(Psu, Command::Telemetry, Action::delayed(2));
    constexpr int PerThread = 20;
    auto reader = [this](uint8_t slot) {
        for (int i = 0; i < PerThread; ++i) {
            Packet reply;
            ErrorCode const result = parser.send(telemetryRead(Psu, slot), reply, true, 1000ms);
            if (result != ErrorCode::Success || reply.getSlot() != slot) {
                return false;
            }
        }
        return true;
    };
    auto first = std::async(std::launch::async, reader, 0);
    auto second = std::async(std::launch::async, reader, 1);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    // One transaction at a time: every request arrives after the previous one
    // was answered, so the numbers follow each other without a gap or repeat.
    std::vector<uint8_t> const seen = sequences(2 * PerThread);
    ASSERT_EQ(seen.size(), 2u * PerThread);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], uint8_t(seen[i - 1] + 1));
    }
}

// While a transaction waits for its reply, a request of another thread does
// not even reach the bus.
TEST_F(ParserBus, SecondSenderWaitsForTheTransactionInFlight) {
    bringOnline(Psu);
    boardsim::Rule hold;
    hold.match = matching(Psu, Command::Telemetry);
    hold.match.slot = 0;
    hold.action = Action::held();
    sim.addRule(hold);
    auto first = std::async(std::launch::async, [this] {
        Packet reply;
        return parser.send(telemetryRead(Psu, 0), reply, false, 2000ms);
    });
    ASSERT_TRUE(sim.waitFor(matching(Psu, Command::Telemetry), 1, WaitMs));
    auto second = std::async(std::launch::async, [this] {
        Packet reply;
        return parser.send(telemetryRead(Psu, 1), reply, false, 2000ms);
    });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(sim.requestCount(matching(Psu, Command::Telemetry)), 1u);
    releaseHeld(1);
    EXPECT_EQ(first.get(), ErrorCode::Success);
    EXPECT_EQ(second.get(), ErrorCode::Success);
    EXPECT_EQ(sequences(2), (std::vector<uint8_t>{2, 3}));
}

TEST_F(ParserBus, BadSocketPartKeepsTheWorkingSocket) {
    json const before = parser.socketConfigGet();
    try {
        parser.socketConfigSet({{"timeoutMs", 0}});
        ADD_FAILURE() << "accepted timeoutMs 0";
    } catch (std::invalid_argument const& e) {
        EXPECT_NE(std::string(e.what()).find("timeoutMs"), std::string::npos);
    }
    EXPECT_EQ(parser.socketConfigGet(), before);
    EXPECT_EQ(heartbeat(Main), ErrorCode::Success);
}

TEST(ParserStart, TransportFailureLeavesTheParserStopped) {
    boardsim::BoardSim sim;
    uint16_t const port = sim.start(0, "127.0.0.1");
    Parser parser(boardNames());
    // Point the transport at the simulator and stop it again, so that
    // whatever happens below can only ever reach loopback.
    parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", port}});
    parser.start();
    parser.stop();
    // No descriptor left for a new socket.
    rlimit const saved = [] {
        rlimit limits{};
        getrlimit(RLIMIT_NOFILE, &limits);
        return limits;
    }();
    int const nextFree = dup(0);
    close(nextFree);
    // The sanitizer checks the caught exception's type by probing memory
    // through a pipe, which the tight limit forbids; one check beforehand
    // puts that type in its cache.
    try {
        throw std::runtime_error("warm-up");
    } catch (std::exception const& e) {
        EXPECT_STREQ(e.what(), "warm-up");
    }
    {
        testsupport::LogCapture log;
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(nextFree);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        parser.start();
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(log.count("[Parser] Could not start the bus transport: failed to acquire socket"),
                  1u);
    }
    Packet reply;
    EXPECT_EQ(parser.send(Packet(Main, Command::Heartbeat, 0, {}), reply, true, 20ms),
              ErrorCode::Timeout);
    EXPECT_TRUE(sim.requests().empty());

    parser.start();
    EXPECT_EQ(parser.send(Packet(Main, Command::Heartbeat, 0, {}), reply, true, 1000ms),
              ErrorCode::Success);
    parser.stop();
}

} // namespace
