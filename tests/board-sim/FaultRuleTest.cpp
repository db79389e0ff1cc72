#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using boardsim::Action;
using boardsim::BoardSim;
using boardsim::Bytes;
using boardsim::Filter;
using boardsim::Rule;

namespace {

constexpr uint8_t Psu = 1;
const Bytes ActionRequest = request(Psu, 7, 4, 0);            // answered C9 07 04 00 00 00 00 00
const Bytes SetRequest = request(Psu, 8, 3, 2, {5, 0, 0, 0}); // echo 05 00 00 00
const Bytes HeartbeatRequest = request(Psu, 9, 127, 0);

Rule rule(Action action, Filter match = Filter{}) {
    Rule r;
    r.match = match;
    r.action = std::move(action);
    return r;
}

struct ShapeCase {
    char const* name;
    Action action;
    Bytes request;
    Bytes reply;
};

class ReplyShapeTest : public ::testing::TestWithParam<ShapeCase> {};

Action both(Action a, Action const& b) {
    a.delayMs = b.delayMs;
    a.seqOffset = b.seqOffset;
    return a;
}

} // namespace

TEST_P(ReplyShapeTest, bendsTheReply) {
    SimFixture f;
    f.sim.addRule(rule(GetParam().action));
    auto reply = f.client.exchange(GetParam().request);
    ASSERT_TRUE(reply);
    EXPECT_EQ(boardsim::Frame::hex(*reply), boardsim::Frame::hex(GetParam().reply));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Actions, ReplyShapeTest, ::testing::Values(
    ShapeCase{"seq_plus", Action::seqPlus(1), ActionRequest, {0xC9, 8, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"seq_minus_wraps", Action::seqPlus(-8), ActionRequest, {0xC9, 0xFF, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"seq_equals", Action::seqEquals(0x42), ActionRequest, {0xC9, 0x42, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"address", Action::fromAddress(0x20), ActionRequest, {0x20, 7, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"command", Action::withCommand(2), SetRequest, {0xC9, 8, 2, 2, 5, 0, 0, 0}},
    ShapeCase{"command_invalid", Action::withCommand(6), SetRequest, {0xC9, 8, 6, 2, 5, 0, 0, 0}},
    ShapeCase{"error", Action::errorReply(0x81), ActionRequest, {0xC9, 7, 0x81, 0}},
    ShapeCase{"error_with_payload", Action::errorWithPayload(0x85, 2), ActionRequest,
              {0xC9, 7, 0x85, 0, 0, 0}},
    ShapeCase{"payload", Action::withPayload({1, 2}), ActionRequest, {0xC9, 7, 4, 0, 1, 2}},
    ShapeCase{"truncate", Action::truncated(1), ActionRequest, {0xC9, 7, 4, 0, 0}},
    ShapeCase{"append", Action::appended({0xAA}), ActionRequest, {0xC9, 7, 4, 0, 0, 0, 0, 0, 0xAA}},
    ShapeCase{"short", Action::shortReply(2), ActionRequest, {0xC9, 7}},
    ShapeCase{"echo_override", Action::echoOverride({6, 0, 0, 1}), SetRequest,
              {0xC9, 8, 3, 2, 6, 0, 0, 1}},
    ShapeCase{"echo_override_only_on_setters", Action::echoOverride({6}), ActionRequest,
              {0xC9, 7, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"result_on_upload_header", Action::withResult(2),
              request(Psu, 3, 5, 240, {0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}),
              {0xC9, 3, 5, 240, 2, 0}},
    ShapeCase{"result_negative", Action::withResult(-1), request(0, 3, 5, 241, {0, 'f', 0}),
              {0xC9, 3, 5, 241, 0xFF, 0xFF, 1}},
    ShapeCase{"result_only_on_results", Action::withResult(2), ActionRequest,
              {0xC9, 7, 4, 0, 0, 0, 0, 0}},
    ShapeCase{"chained_fields", both(Action::delayed(1), Action::seqPlus(2)), ActionRequest,
              {0xC9, 9, 4, 0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<ShapeCase>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

TEST(FaultRules, anErrorRuleKeepsTheBoardFromActing) {
    SimFixture f;
    f.sim.addRule(rule(Action::errorReply(0x81)));
    ASSERT_TRUE(f.client.exchange(ActionRequest));
    EXPECT_EQ(f.sim.counters().actions(Psu, 0), 0u);
}

TEST(FaultRules, aDroppedReplyLeavesTheRequestExecuted) {
    SimFixture f;
    int const id = f.sim.addRule(rule(Action::dropReply()));
    EXPECT_FALSE(f.client.exchange(ActionRequest, 100));
    EXPECT_EQ(f.sim.counters().actions(Psu, 0), 1u);
    auto const log = f.sim.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].outcome, "dropped");
    EXPECT_EQ(log[0].rules, std::vector<int>{id});
    EXPECT_EQ(log[0].reply, "c9 07 04 00 00 00 00 00");
}

TEST(FaultRules, delayedRepliesArriveLate) {
    SimFixture f;
    f.sim.addRule(rule(Action::delayed(300)));
    auto const start = std::chrono::steady_clock::now();
    f.client.send(ActionRequest);
    EXPECT_FALSE(f.client.receive(100)) << "too early";
    ASSERT_TRUE(f.client.receive(2000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(f.sim.requests()[0].outcome, "delayed 300 ms");
}

TEST(FaultRules, duplicatedRepliesComeTwice) {
    for (int gap : {0, 50}) {
        SimFixture f;
        f.sim.addRule(rule(Action::duplicated(gap)));
        auto first = f.client.exchange(ActionRequest);
        auto second = f.client.receive(1000);
        ASSERT_TRUE(first && second) << gap;
        EXPECT_EQ(*first, *second);
        EXPECT_FALSE(f.client.receive(100)) << "a third copy";
    }
}

TEST(FaultRules, oversizedRepliesAreSentWhole) {
    SimFixture f;
    f.sim.addRule(rule(Action::oversized(600)));
    auto reply = f.client.exchange(ActionRequest);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 600u);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 4), (Bytes{0xC9, 7, 4, 0}));
}

TEST(FaultRules, heldRepliesWaitForRelease) {
    SimFixture f;
    f.sim.addRule(rule(Action::held(), Filter{Psu}));
    f.client.send(request(Psu, 1, 127, 0));
    f.client.send(request(Psu, 2, 127, 0));
    ASSERT_TRUE(f.sim.waitFor(Filter{Psu}, 2, 1000));
    EXPECT_FALSE(f.client.receive(50));
    EXPECT_EQ(f.sim.heldCount(), 2u);
    EXPECT_TRUE(f.client.exchange(request(0, 3, 127, 0))) << "other boards still answer";
    f.sim.release();
    EXPECT_EQ(f.sim.heldCount(), 0u);
    auto first = f.client.receive();
    auto second = f.client.receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ((*first)[1], 1);
    EXPECT_EQ((*second)[1], 2);
}

TEST(FaultRules, aReleaseRightAfterWaitForFindsTheHeldReply) {
    SimFixture f;
    f.sim.addRule(rule(Action::held()));
    for (uint8_t seq = 1; seq <= 20; ++seq) {
        f.client.send(request(Psu, seq, 127, 0));
        ASSERT_TRUE(f.sim.waitFor(Filter{Psu}, seq, 1000));
        f.sim.release();
        auto reply = f.client.receive();
        ASSERT_TRUE(reply) << int(seq);
        EXPECT_EQ((*reply)[1], seq);
    }
}

TEST(FaultRules, unsolicitedFramesPrecedeTheReply) {
    SimFixture f;
    f.sim.addRule(rule(Action::unsolicitedFrame({0xC9, 0x55, 0x7F, 0})));
    EXPECT_EQ(f.client.exchange(HeartbeatRequest), (Bytes{0xC9, 0x55, 0x7F, 0}));
    ASSERT_TRUE(f.client.receive());
    f.sim.sendUnsolicited({0xC9, 0x56, 0x7F, 0});
    EXPECT_EQ(f.client.receive(), (Bytes{0xC9, 0x56, 0x7F, 0}));
}

TEST(FaultRules, matchFieldsSelectTheRequests) {
    SimFixture f;
    Rule r = rule(Action::errorReply(0x86), Filter{0, 5, 241, 1, 2});
    f.sim.addRule(r);
    auto misc = [&](uint8_t seq, Bytes const& payload) {
        return (*f.client.exchange(request(0, seq, 5, 241, payload)))[2];
    };
    ASSERT_EQ(misc(1, {0, 'f', 0}), 5);
    ASSERT_EQ(misc(2, {1, 1, 0, 0, 0, 1, 0, 0, 2, 0}), 5);
    EXPECT_EQ(misc(3, {1, 1, 1, 0, 0}), 5) << "segment 1 (refused by the file, not the rule)";
    EXPECT_EQ(misc(4, {1, 1, 2, 0, 0}), 0x86) << "segment 2";
    EXPECT_EQ(misc(5, {2, 1, 2, 0}), 5) << "a read segment 2 has another sub-command";
}

TEST(FaultRules, nthTimesAndChain) {
    SimFixture f;
    Rule second = rule(Action::errorReply(0x81), Filter{Psu, 127});
    second.nth = 2;
    Rule twice = rule(Action::errorReply(0x83), Filter{Psu, 127});
    twice.times = 2;
    int const secondId = f.sim.addRule(second);
    int const twiceId = f.sim.addRule(twice);
    std::vector<uint8_t> codes;
    for (uint8_t seq = 1; seq <= 5; ++seq) {
        codes.push_back((*f.client.exchange(request(Psu, seq, 127, 0)))[2]);
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x83, 0x81, 0x83, 0x7F, 0x7F}));
    EXPECT_EQ(f.sim.ruleUses(secondId), 1u);
    EXPECT_EQ(f.sim.ruleUses(twiceId), 2u);

    f.sim.clearRules();
    Rule chained = rule(Action::seqPlus(1));
    chained.chain = true;
    f.sim.addRule(chained);
    f.sim.addRule(rule(Action::fromAddress(7)));
    f.sim.addRule(rule(Action::fromAddress(9))); // never reached: the rule before it wins
    EXPECT_EQ(f.client.exchange(request(Psu, 1, 127, 0))->at(0), 7);
    EXPECT_EQ(f.sim.requests().back().rules.size(), 2u);
}

TEST(FaultRules, removedRulesStopActing) {
    SimFixture f;
    int const id = f.sim.addRule(rule(Action::errorReply(0x81)));
    EXPECT_EQ(f.client.exchange(HeartbeatRequest)->at(2), 0x81);
    EXPECT_TRUE(f.sim.removeRule(id));
    EXPECT_FALSE(f.sim.removeRule(id));
    EXPECT_EQ(f.client.exchange(HeartbeatRequest)->at(2), 0x7F);
}

TEST(FaultRules, probabilityIsRepeatableForASeed) {
    auto pattern = [](uint32_t seed) {
        SimFixture f;
        Rule r = rule(Action::errorReply(0x81));
        r.probability = 0.5;
        r.seed = seed;
        f.sim.addRule(r);
        std::string out;
        for (int i = 0; i < 40; ++i) {
            out += f.client.exchange(request(Psu, uint8_t(i), 127, 0))->at(2) == 0x81 ? 'x' : '.';
        }
        return out;
    };
    const std::string a = pattern(7);
    EXPECT_EQ(pattern(7), a);
    EXPECT_NE(pattern(8), a);
    auto const hits = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(hits, 5);
    EXPECT_LT(hits, 35);
}

TEST(FaultRules, resetClearsRulesStateAndLogs) {
    SimFixture f;
    f.sim.addRule(rule(Action::errorReply(0x81)));
    f.sim.setRaw(Psu, boardsim::SlotTable::Config, 2, 99);
    ASSERT_TRUE(f.client.exchange(HeartbeatRequest));
    f.sim.reset();
    EXPECT_TRUE(f.sim.requests().empty());
    EXPECT_EQ(f.sim.counters().requests(Psu, 127, 0), 0u);
    EXPECT_EQ(f.sim.raw(Psu, boardsim::SlotTable::Config, 2), 20);
    EXPECT_EQ(f.client.exchange(HeartbeatRequest)->at(2), 0x7F);
}

TEST(RequestLog, aLimitKeepsTheNewestEntries) {
    SimFixture f;
    f.sim.setRequestLogLimit(2);
    for (uint8_t seq = 1; seq <= 3; ++seq) {
        ASSERT_TRUE(f.client.exchange(request(Psu, seq, 127, 0)));
    }
    auto const log = f.sim.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].sequence, 2);
    EXPECT_EQ(log[1].sequence, 3);
    EXPECT_EQ(f.sim.counters().requests(Psu, 127, 0), 3u) << "the counters keep counting";
}

TEST(WaitFor, returnsOnceEnoughMatchingRequestsWereHandled) {
    SimFixture f;
    std::thread sender([&] {
        for (uint8_t seq = 0; seq < 3; ++seq) {
            f.client.send(request(Psu, seq, 4, 0));
        }
        f.client.send(request(0, 9, 4, 0));
    });
    EXPECT_TRUE(f.sim.waitFor(Filter{Psu, 4, 0}, 3, 2000));
    sender.join();
    EXPECT_EQ(f.sim.counters().actions(Psu, 0), 3u) << "handled, not just received";
    EXPECT_FALSE(f.sim.waitFor(Filter{Psu, 4, 0}, 4, 100));
    EXPECT_EQ(f.sim.requestCount(Filter{{}, 4}), 4u);
}
