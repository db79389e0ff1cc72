#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include <functional>
#include <stdexcept>

namespace bustest {
namespace {

using Command = Packet::Command;

class ParserBoardTest : public CommandsBus {};

TEST_F(ParserBoardTest, HeartbeatDecodesTheUptimeAndRefusesOtherSizes) {
    struct Case {
        Bytes payload;
        ErrorCode result;
        uint32_t uptime;
    };
    Case const cases[] = {
        {{0x10, 0x27, 0x00, 0x00}, ErrorCode::Success, 10000},
        {{}, ErrorCode::Success, 0},
        {{0x10, 0x27}, ErrorCode::MalformedResponse, 77},
        {{0x10, 0x27, 0x00, 0x00, 0x00}, ErrorCode::MalformedResponse, 77},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.payload));
        sim.clearRules();
        sim.clearRequests();
        replyWith(Psu, Command::Heartbeat, 0, c.payload);
        uint32_t uptime = 77;
        EXPECT_EQ(parser.heartbeat(Psu, uptime), c.result);
        EXPECT_EQ(uptime, c.uptime);
        expectOnly(Psu, Command::Heartbeat, 0, {});
    }
}

TEST_F(ParserBoardTest, HeartbeatWaitsItsOwn100msAndZeroesTheUptimeWhenItFails) {
    // A reply 50 ms late is past the default time-out of the other commands,
    // set short here, and within the heartbeat's own 100 ms.
    parser.configSet({20, 2});
    onRequest(Psu, Command::Heartbeat, 0, boardsim::Action::delayed(50));
    uint32_t uptime = 77;
    EXPECT_EQ(parser.heartbeat(Psu, uptime), ErrorCode::Success);
    EXPECT_EQ(received(Psu, Command::Heartbeat, 1), 1u);

    sim.clearRules();
    sim.clearRequests();
    onRequest(Psu, Command::Heartbeat, 0, boardsim::Action::dropReply());
    uptime = 77;
    EXPECT_EQ(parser.heartbeat(Psu, uptime), ErrorCode::Timeout);
    EXPECT_EQ(uptime, 0u);
    EXPECT_EQ(received(Psu, Command::Heartbeat, 3), 3u); // 1 + retransmit
}

// Each command's frame, and whether it is repeated: an error reply 0x81 is
// repeated for a request that allows retries only.
TEST_F(ParserBoardTest, CommandsSendTheirFrameAndRepeatOnlyWhenAllowed) {
    struct Case {
        char const* name;
        std::function<ErrorCode(Parser&)> call;
        uint8_t address;
        Command command;
        uint8_t slot;
        size_t attempts;
    };
    Case const cases[] = {
        {"boardAction", [](Parser& p) { return p.boardAction(Psu, 3); }, Psu, Command::Action, 3,
         3},
        {"boardReboot", [](Parser& p) { return p.boardReboot(Psu); }, Psu, Command::Misc, 0, 1},
        {"boardRestoreDefaults", [](Parser& p) { return p.boardRestoreDefaults(Psu); }, Psu,
         Command::Misc, 1, 1},
        {"broadcastReboot", [](Parser& p) { return p.broadcastReboot(); }, Broadcast, Command::Misc,
         0, 1},
        {"broadcastRestoreDefaults", [](Parser& p) { return p.broadcastRestoreDefaults(); },
         Broadcast, Command::Misc, 1, 1},
        {"broadcastHeartbeat", [](Parser& p) { return p.broadcastHeartbeat(); }, Broadcast,
         Command::Heartbeat, 0, 1},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        onRequest(c.address, c.command, c.slot, boardsim::Action::errorReply(0x81));
        EXPECT_EQ(c.call(parser), ErrorCode::BusGeneralError);
        std::vector<boardsim::RequestRecord> const sent = requests(c.attempts);
        ASSERT_EQ(sent.size(), c.attempts);
        for (boardsim::RequestRecord const& request : sent) {
            EXPECT_EQ(request.address, c.address);
            EXPECT_EQ(request.command, static_cast<uint8_t>(c.command));
            EXPECT_EQ(request.slot, c.slot);
            EXPECT_TRUE(request.payload.empty());
            EXPECT_EQ(request.sequence, sent[0].sequence);
        }
        // The error took the target offline: bring it back.
        sim.clearRules();
        if (c.address != Broadcast) {
            ASSERT_EQ(heartbeat(c.address), ErrorCode::Success);
        } else {
            ASSERT_EQ(parser.broadcastHeartbeat(), ErrorCode::Success);
        }
        forgetRequests(c.attempts + 1);
    }
}

TEST_F(ParserBoardTest, ActionNeedsAFourByteAcknowledgement) {
    testsupport::LogCapture log;
    EXPECT_EQ(parser.boardAction(Psu, 0), ErrorCode::Success);
    EXPECT_EQ(sim.counters().actions(Psu, 0), 1u);
    replyWith(Psu, Command::Action, 0, {0x01, 0x00});
    EXPECT_EQ(parser.boardAction(Psu, 0), ErrorCode::MalformedResponse);
    EXPECT_EQ(log.count("[Parser] boardAction(psu, 0)"), 2u);
}

TEST_F(ParserBoardTest, RebootIsAnsweredThenTheBoardRestarts) {
    testsupport::LogCapture log;
    EXPECT_EQ(parser.boardReboot(Psu), ErrorCode::Success);
    EXPECT_EQ(sim.counters().reboots(Psu), 1u);
    EXPECT_EQ(log.count("[Parser] boardReboot(psu)"), 1u);
}

TEST_F(ParserBoardTest, AddressWithoutANameThrowsBeforeSending) {
    uint32_t uptime = 0;
    EXPECT_THROW(parser.heartbeat(7, uptime), std::out_of_range);
    EXPECT_THROW(parser.boardAction(7, 0), std::out_of_range);
    EXPECT_THROW(parser.boardReboot(7), std::out_of_range);
    EXPECT_THROW(parser.boardRestoreDefaults(7), std::out_of_range);
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(ParserBoardTest, BroadcastIsHeldBackWhileTheBusIsOffline) {
    sim.setGatewayOnline(false);
    ASSERT_EQ(heartbeat(Main), ErrorCode::Timeout);
    forgetRequests(3);
    testsupport::LogCapture log;
    EXPECT_EQ(parser.broadcastReboot(), ErrorCode::Timeout);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(log.count("Dropping request to broadcast: bus offline"), 1u);
}

} // namespace
} // namespace bustest
