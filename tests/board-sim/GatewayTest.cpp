#include "support/SimClient.h"

#include <gtest/gtest.h>

using boardsim::BoardSim;
using boardsim::Bytes;
using boardsim::Filter;
using boardsim::Scenario;

namespace {

// Three boards behind the gateway, one of them absent; boot windows long enough
// for a loaded machine to see them.
Scenario scenario() {
    return Scenario::fromJson(nlohmann::json::parse(R"({
        "boards": [
            {"address": 0, "bootMs": 1000, "actions": {"0": {"reply": 0}}},
            {"address": 1, "bootMs": 1000, "config": {"0": {"raw": 5}}},
            {"address": 2, "bootMs": 1000, "present": false},
            {"address": 3, "bootMs": 1000}
        ]})"));
}

} // namespace

TEST(Gateway, aBroadcastGetsExactlyOneReply) {
    SimFixture f(scenario());
    const Bytes cases[][2] = {
        {request(255, 1, 127, 0), {0xC9, 1, 0x7F, 0}},
        {request(255, 2, 5, 1), {0xC9, 2, 5, 1}},
        {request(255, 3, 4, 0), {0xC9, 3, 0x83, 0}},
        {request(255, 4, 5, 2), {0xC9, 4, 0x83, 2}},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(f.client.exchange(c[0]), c[1]);
        EXPECT_FALSE(f.client.receive(50)) << "a second reply";
    }
}

TEST(Gateway, aBroadcastRebootRebootsEveryPresentBoard) {
    SimFixture f(scenario());
    for (uint8_t a : {0, 1, 2, 3}) {
        f.sim.setScratchpad(a, 4, 1);
    }
    EXPECT_EQ(f.client.exchange(request(255, 1, 5, 0)), (Bytes{0xC9, 1, 5, 0}));
    for (uint8_t a : {0, 1, 3}) {
        EXPECT_EQ(f.sim.counters().reboots(a), 1u) << int(a);
        EXPECT_EQ(f.sim.scratchpad(a, 4), 0) << int(a);
    }
    EXPECT_EQ(f.sim.counters().reboots(2), 0u) << "absent boards are skipped";
    EXPECT_EQ(f.sim.scratchpad(2, 4), 1);

    // The gateway itself is booting: silence for every address.
    EXPECT_FALSE(f.client.exchange(request(0, 2, 127, 0), 50));
    EXPECT_FALSE(f.client.exchange(request(1, 3, 127, 0), 50));
    ASSERT_TRUE(f.sim.waitBooted(0, 5000));
    auto reply = f.client.exchange(request(1, 4, 127, 0));
    ASSERT_TRUE(reply && reply->size() == 8);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 4), (Bytes{0xC9, 4, 0x7F, 0}));
    EXPECT_LE((*reply)[4], 2) << "uptime counts from the reboot";
}

TEST(Gateway, aBroadcastRestoreRestoresEveryPresentBoard) {
    SimFixture f(scenario());
    f.sim.setRaw(1, boardsim::SlotTable::Config, 0, 9);
    EXPECT_EQ(f.client.exchange(request(255, 1, 5, 1)), (Bytes{0xC9, 1, 5, 1}));
    EXPECT_EQ(f.sim.raw(1, boardsim::SlotTable::Config, 0), 5);
}

TEST(Gateway, offlineGatewayAnswersNothing) {
    SimFixture f(scenario());
    f.sim.setGatewayOnline(false);
    for (uint8_t address : {0, 1, 2, 7, 255}) {
        EXPECT_FALSE(f.client.exchange(request(address, 1, 127, 0), 50)) << int(address);
    }
    EXPECT_TRUE(f.sim.waitFor(Filter{}, 5, 1000)) << "the requests are still logged";
    f.sim.setGatewayOnline(true);
    EXPECT_TRUE(f.client.exchange(request(0, 2, 127, 0)));
}

TEST(Gateway, absentAndBootingBoardsGetNodeTimeouts) {
    SimFixture f(scenario());
    EXPECT_EQ(f.client.exchange(request(2, 1, 1, 3)), (Bytes{0xC9, 1, 0x82, 3}));
    f.sim.setPresent(3, false);
    EXPECT_EQ(f.client.exchange(request(3, 2, 5, 240, {1})), (Bytes{0xC9, 2, 0x82, 240}));
    f.sim.setPresent(3, true);
    f.sim.reboot(3);
    EXPECT_EQ(f.client.exchange(request(3, 3, 127, 0)), (Bytes{0xC9, 3, 0x82, 0}));
    f.sim.setAbsentMode(boardsim::Silence::Silent);
    EXPECT_FALSE(f.client.exchange(request(2, 4, 127, 0), 50));
    EXPECT_FALSE(f.client.exchange(request(3, 5, 127, 0), 50));
}

TEST(Gateway, theAutomaticBusReportCountsBoardsAndFrames) {
    SimFixture f(scenario());
    auto report = [&](uint8_t seq) {
        auto reply = f.client.exchange(request(0, seq, 5, 6));
        return reply ? Bytes(reply->begin() + 4, reply->end()) : Bytes{};
    };
    EXPECT_EQ(report(1), (Bytes{3, 2, 0, 0, 0, 0, 100}));
    ASSERT_TRUE(f.client.exchange(request(1, 2, 127, 0)));
    ASSERT_TRUE(f.client.exchange(request(3, 3, 127, 0)));
    ASSERT_TRUE(f.client.exchange(request(2, 4, 127, 0))) << "absent: not forwarded";
    f.sim.reboot(3);
    EXPECT_EQ(report(5), (Bytes{3, 1, 2, 0, 2, 0, 100}));
}

TEST(Gateway, refusesToBindAnywhereButLoopback) {
    BoardSim sim(scenario());
    for (char const* address : {"0.0.0.0", "127.0.0.2", "10.10.10.4", "localhost", ""}) {
        EXPECT_THROW(sim.start(0, address), std::invalid_argument) << address;
    }
    EXPECT_THROW(Scenario::fromJson(
                     nlohmann::json::parse(R"({"bind": "0.0.0.0", "boards": [{"address": 0}]})")),
                 boardsim::ScenarioError);
    EXPECT_NE(sim.start(0, "127.0.0.1"), 0);
}
