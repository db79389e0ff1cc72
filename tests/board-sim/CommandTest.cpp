#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using boardsim::BoardSim;
using boardsim::Bytes;
using boardsim::Filter;
using boardsim::SlotTable;

namespace {

constexpr uint8_t Main = 0;
constexpr uint8_t Psu = 1;
constexpr uint8_t Lights = 16;
constexpr uint8_t Status = 0, Telemetry = 1, ConfigGet = 2, ConfigSet = 3, Action = 4, Misc = 5,
                  Heartbeat = 127;

const std::string Hash64(64, 'a');

Bytes concat(Bytes a, Bytes const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case {
    char const* name;
    std::function<void(BoardSim&)> setup;
    Bytes request;
    std::optional<Bytes> reply; // nothing: no reply expected
};

class CommandTest : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(CommandTest, answersWithTheExpectedBytes) {
    SimFixture f;
    Case const& c = GetParam();
    if (c.setup) {
        c.setup(f.sim);
    }
    auto reply = f.client.exchange(c.request, c.reply ? 1000 : 100);
    if (!c.reply) {
        EXPECT_FALSE(reply) << "unexpected reply";
        return;
    }
    ASSERT_TRUE(reply) << "no reply";
    EXPECT_EQ(boardsim::Frame::hex(*reply), boardsim::Frame::hex(*c.reply));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Frames, CommandTest, ::testing::Values(
    Case{"heartbeat_uptime", [](BoardSim& s) { s.setUptime(Psu, 10000); },
         request(Psu, 5, Heartbeat, 0), Bytes{0xC9, 5, 0x7F, 0, 0x10, 0x27, 0, 0}},
    Case{"heartbeat_payload_ignored", [](BoardSim& s) { s.setUptime(Main, 1); },
         request(Main, 6, Heartbeat, 0, {1, 2, 3}), Bytes{0xC9, 6, 0x7F, 0, 1, 0, 0, 0}},
    Case{"heartbeat_empty_mode",
         [](BoardSim& s) { s.setHeartbeatPayload(boardsim::HeartbeatPayload::Empty); },
         request(Psu, 7, Heartbeat, 0), Bytes{0xC9, 7, 0x7F, 0}},
    Case{"heartbeat_explicit_mode",
         [](BoardSim& s) { s.setHeartbeatPayload(boardsim::HeartbeatPayload::Explicit, {9, 9}); },
         request(Psu, 7, Heartbeat, 0), Bytes{0xC9, 7, 0x7F, 0, 9, 9}},
    Case{"status_slot0", [](BoardSim& s) { s.setStatus(Psu, 0x11223344, 5); },
         request(Psu, 1, Status, 0), Bytes{0xC9, 1, 0, 0, 0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0}},
    Case{"status_text", [](BoardSim& s) { s.setStatusText(Psu, 4, 42, "OK"); },
         request(Psu, 1, Status, 4), Bytes{0xC9, 1, 0, 4, 0x2A, 0, 0, 0, 'O', 'K', 0}},
    Case{"status_text_without_terminator",
         [](BoardSim& s) { s.setStatusText(Psu, 4, 42, "OK"); s.setNoTerminator(true); },
         request(Psu, 1, Status, 4), Bytes{0xC9, 1, 0, 4, 0x2A, 0, 0, 0, 'O', 'K'}},
    Case{"status_unknown_slot", nullptr, request(Psu, 1, Status, 9), Bytes{0xC9, 1, 0x85, 9}},
    Case{"telemetry_bool", nullptr, request(Psu, 2, Telemetry, 2), Bytes{0xC9, 2, 1, 2, 1, 0, 0, 0}},
    Case{"telemetry_unknown", nullptr, request(Psu, 2, Telemetry, 7), Bytes{0xC9, 2, 0x85, 7}},
    Case{"config_get", [](BoardSim& s) { s.setRaw(Psu, SlotTable::Config, 2, -2); },
         request(Psu, 3, ConfigGet, 2), Bytes{0xC9, 3, 2, 2, 0xFE, 0xFF, 0xFF, 0xFF}},
    Case{"config_get_telemetry_only_slot", nullptr, request(Psu, 3, ConfigGet, 3),
         Bytes{0xC9, 3, 0x85, 3}},
    Case{"config_set_light_keeps_transition_bit", nullptr,
         request(Lights, 4, ConfigSet, 10, {5, 0, 0, 1}), Bytes{0xC9, 4, 3, 10, 5, 0, 0, 1}},
    Case{"config_set_light_checks_the_target_only", nullptr,
         request(Lights, 4, ConfigSet, 10, {0xC8, 0, 0, 1}), Bytes{0xC9, 4, 3, 10, 0xC8, 0, 0, 1}},
    Case{"config_set_bool_echoes_stored", nullptr, request(Psu, 4, ConfigSet, 1, {2, 0, 0, 0}),
         Bytes{0xC9, 4, 3, 1, 1, 0, 0, 0}},
    Case{"config_set_enum_too_big", nullptr, request(Psu, 4, ConfigSet, 0, {3, 0, 0, 0}),
         Bytes{0xC9, 4, 0x86, 0}},
    Case{"config_set_enum_negative", nullptr,
         request(Psu, 4, ConfigSet, 0, {0xFF, 0xFF, 0xFF, 0xFF}), Bytes{0xC9, 4, 0x86, 0}},
    Case{"config_set_above_max", nullptr, request(Psu, 4, ConfigSet, 2, {101, 0, 0, 0}),
         Bytes{0xC9, 4, 0x86, 2}},
    Case{"config_set_short_payload", nullptr, request(Psu, 4, ConfigSet, 2, {1, 0, 0}),
         Bytes{0xC9, 4, 0x83, 2}},
    Case{"config_set_telemetry_slot", nullptr, request(Psu, 4, ConfigSet, 3, {1, 0, 0, 0}),
         Bytes{0xC9, 4, 0x85, 3}},
    Case{"action", nullptr, request(Psu, 5, Action, 0), Bytes{0xC9, 5, 4, 0, 0, 0, 0, 0}},
    Case{"action_unknown", nullptr, request(Psu, 5, Action, 3), Bytes{0xC9, 5, 0x85, 3}},
    Case{"command_6_unknown", nullptr, request(Psu, 5, 6, 0, {1}), Bytes{0xC9, 5, 0x83, 0}},
    Case{"command_64_unknown", nullptr, request(Psu, 5, 64, 0), Bytes{0xC9, 5, 0x83, 0}},
    Case{"board_info",
         [](BoardSim& s) {
             boardsim::BoardInfo boardInfo{"FW", 300, "B", 3, {}};
             for (int i = 0; i < 16; ++i) boardInfo.boardId[i] = uint8_t(0xA0 + i);
             s.setBoardInfo(Psu, boardInfo);
         },
         request(Psu, 6, Misc, 2),
         concat({0xC9, 6, 5, 2, 0x46, 0x57, 0, 0x2C, 1, 0x42, 0, 3},
                {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC,
                 0xAD, 0xAE, 0xAF})},
    Case{"clock_set", nullptr, request(Main, 7, Misc, 3, {0x2C, 1, 0, 0}),
         Bytes{0xC9, 7, 5, 3, 0x2C, 1, 0, 0}},
    Case{"clock_get", [](BoardSim& s) { s.setClock(300); }, request(Main, 7, Misc, 3),
         Bytes{0xC9, 7, 5, 3, 0x2C, 1, 0, 0}},
    Case{"clock_bad_length", nullptr, request(Main, 7, Misc, 3, {1, 2}), Bytes{0xC9, 7, 0x83, 3}},
    Case{"clock_only_on_main", nullptr, request(Psu, 7, Misc, 3), Bytes{0xC9, 7, 0x85, 3}},
    Case{"network_status",
         [](BoardSim& s) {
             boardsim::Network n = s.network();
             n.link = 1;
             n.mac = {0, 0x11, 0x22, 0x33, 0x44, 0x55};
             n.dhcp = false;
             n.cfgIp = {0xC0, 0xA8, 1, 0x0A};
             n.ip = {9, 9, 9, 9};
             s.setNetwork(n);
         },
         request(Main, 8, Misc, 4, {0}),
         Bytes{0xC9, 8, 5, 4, 1, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0xC0, 0xA8, 1, 0x0A}},
    Case{"network_status_dhcp_uses_leased_ip",
         [](BoardSim& s) {
             boardsim::Network n = s.network();
             n.link = 0;
             n.mac = {};
             n.dhcp = true;
             n.ip = {10, 1, 2, 3};
             s.setNetwork(n);
         },
         request(Main, 8, Misc, 4, {0}), Bytes{0xC9, 8, 5, 4, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3}},
    Case{"network_port_set", nullptr, request(Main, 8, Misc, 4, {1, 0x10, 0x27}),
         Bytes{0xC9, 8, 5, 4, 0x10, 0x27}},
    Case{"network_dhcp_set", nullptr, request(Main, 8, Misc, 4, {2, 7}), Bytes{0xC9, 8, 5, 4, 1}},
    Case{"network_ip_set", nullptr,
         request(Main, 8, Misc, 4, {3, 1, 2, 3, 4, 255, 255, 0, 0, 1, 2, 0, 1}),
         Bytes{0xC9, 8, 5, 4, 1, 2, 3, 4, 255, 255, 0, 0, 1, 2, 0, 1}},
    Case{"network_dns_set", nullptr, request(Main, 8, Misc, 4, {4, 8, 8, 4, 4}),
         Bytes{0xC9, 8, 5, 4, 8, 8, 4, 4}},
    Case{"network_bad_length", nullptr, request(Main, 8, Misc, 4, {1, 0x10}),
         Bytes{0xC9, 8, 0x83, 4}},
    Case{"network_unknown_sub", nullptr, request(Main, 8, Misc, 4, {5}), Bytes{0xC9, 8, 0x86, 4}},
    Case{"bus_report_fixed",
         [](BoardSim& s) { s.setBusReport({5, 4, 16, 32, 100}); },
         request(Main, 9, Misc, 6), Bytes{0xC9, 9, 5, 6, 5, 4, 0x10, 0, 0x20, 0, 0x64}},
    Case{"preauth", nullptr,
         request(Main, 10, Misc, 5, concat(concat({3, 0}, text(Hash64)), {0, 0})),
         Bytes{0xC9, 10, 5, 5}},
    Case{"preauth_short_hash", nullptr,
         request(Main, 10, Misc, 5, concat(concat({3, 0}, text(Hash64.substr(1))), {0, 0})),
         Bytes{0xC9, 10, 0x86, 5}},
    Case{"preauth_unterminated_salt", nullptr,
         request(Main, 10, Misc, 5, concat(concat({3, 0}, text(Hash64)), {0, 's'})),
         Bytes{0xC9, 10, 0x86, 5}},
    Case{"security_other_sub", nullptr, request(Main, 10, Misc, 5, {2, 0, 0x30, 0, 0x30, 0}),
         Bytes{0xC9, 10, 0x86, 5}},
    Case{"disarm_right_password", [](BoardSim& s) { s.setPassword("abcd"); },
         request(Main, 11, Misc, 241, {1, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd'}),
         Bytes{0xC9, 11, 5, 241, 1}},
    Case{"disarm_wrong_password", [](BoardSim& s) { s.setPassword("abcd"); },
         request(Main, 11, Misc, 241, {1, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'e'}),
         Bytes{0xC9, 11, 5, 241, 0}},
    Case{"disarm_empty_password", [](BoardSim& s) { s.setPassword(""); },
         request(Main, 11, Misc, 241, {1, 0}), Bytes{0xC9, 11, 5, 241, 1}},
    Case{"disarm_odd_length", nullptr, request(Main, 11, Misc, 241, {1, 0, 0, 'a', 'b'}),
         Bytes{0xC9, 11, 0x86, 241}},
    Case{"disarm_bad_zero_run", nullptr, request(Main, 11, Misc, 241, {1, 0, 1, 'a'}),
         Bytes{0xC9, 11, 0x86, 241}},
    Case{"files_only_on_main", nullptr, request(Psu, 11, Misc, 241, {0, 'a', 0}),
         Bytes{0xC9, 11, 0x85, 241}},
    Case{"scratchpad_set", nullptr, request(Psu, 12, Misc, 255, {1, 4, 2, 1, 0, 0}),
         Bytes{0xC9, 12, 5, 255, 2, 1, 0, 0}},
    Case{"scratchpad_get", [](BoardSim& s) { s.setScratchpad(Psu, 4, 258); },
         request(Psu, 12, Misc, 255, {0, 4}), Bytes{0xC9, 12, 5, 255, 2, 1, 0, 0}},
    Case{"scratchpad_clear", nullptr, request(Psu, 12, Misc, 255, {2}), Bytes{0xC9, 12, 5, 255}},
    Case{"scratchpad_short", nullptr, request(Psu, 12, Misc, 255, {0}), Bytes{0xC9, 12, 0x83, 255}},
    Case{"scratchpad_unknown_sub", nullptr, request(Psu, 12, Misc, 255, {3, 0}),
         Bytes{0xC9, 12, 0x86, 255}},
    Case{"light_pattern", nullptr,
         request(Lights, 13, Misc, 10,
                 {2, 3, 0, 0, 0xFF, 1, 0xF4, 1, 0, 0, 0, 0, 0, 0, 0xF4, 1, 0, 0}),
         Bytes{0xC9, 13, 5, 10}},
    Case{"light_pattern_empty", nullptr, request(Lights, 13, Misc, 20, {0, 1}),
         Bytes{0xC9, 13, 5, 20}},
    Case{"light_pattern_count_mismatch", nullptr,
         request(Lights, 13, Misc, 10, {1, 0, 1, 2, 3, 0, 1, 0, 0, 0, 1, 2, 3, 0, 1, 0, 0, 0}),
         Bytes{0xC9, 13, 0x86, 10}},
    Case{"misc_unknown_slot", nullptr, request(Lights, 13, Misc, 11, {0, 0}),
         Bytes{0xC9, 13, 0x85, 11}},
    Case{"bootloader_flags_write", nullptr, request(Psu, 5, Misc, 0xF0, {3, 0xC1, 0}),
         Bytes{0xC9, 5, 5, 0xF0, 0xC1, 0}},
    Case{"bootloader_status", [](BoardSim& s) { s.setBootloaderStatus(Psu, 0x0210); },
         request(Psu, 5, Misc, 0xF0, {1}), Bytes{0xC9, 5, 5, 0xF0, 0x10, 2}},
    Case{"bootloader_flags_read", [](BoardSim& s) { s.setBootloaderFlags(Main, 0x30); },
         request(Main, 5, Misc, 0xF0, {2}), Bytes{0xC9, 5, 5, 0xF0, 0x30, 0}},
    Case{"bootloader_bad_length", nullptr, request(Psu, 5, Misc, 0xF0, {1, 0}),
         Bytes{0xC9, 5, 0x83, 0xF0}},
    Case{"bootloader_unknown_sub", nullptr, request(Psu, 5, Misc, 0xF0, {4}),
         Bytes{0xC9, 5, 0x86, 0xF0}},
    Case{"ota_short", nullptr, request(Psu, 5, Misc, 0xF0, {0, 0}), Bytes{0xC9, 5, 0x83, 0xF0}},
    Case{"reboot", nullptr, request(Psu, 14, Misc, 0), Bytes{0xC9, 14, 5, 0}},
    Case{"reboot_without_reply",
         [](BoardSim& s) { s.setRebootReply(boardsim::RebootReply::None); },
         request(Psu, 14, Misc, 0), std::nullopt},
    Case{"reboot_err82", [](BoardSim& s) { s.setRebootReply(boardsim::RebootReply::Err82); },
         request(Psu, 14, Misc, 0), Bytes{0xC9, 14, 0x82, 0}},
    Case{"restore_defaults", nullptr, request(Psu, 15, Misc, 1), Bytes{0xC9, 15, 5, 1}},
    Case{"unknown_address", nullptr, request(7, 16, Heartbeat, 0), Bytes{0xC9, 16, 0x82, 0}},
    Case{"service_console_address", nullptr, request(200, 16, Heartbeat, 0),
         Bytes{0xC9, 16, 0x82, 0}},
    Case{"unknown_address_silent",
         [](BoardSim& s) { s.setUnknownAddressMode(boardsim::Silence::Silent); },
         request(7, 16, Heartbeat, 0), std::nullopt},
    Case{"under_four_bytes", nullptr, Bytes{0, 1, 0x7F}, std::nullopt}),
    [](const ::testing::TestParamInfo<Case>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

TEST(CommandState, settersChangeTheBoard) {
    SimFixture f;
    ASSERT_TRUE(f.client.exchange(request(Psu, 1, ConfigSet, 2, {0x2A, 0, 0, 0})));
    EXPECT_EQ(f.sim.raw(Psu, SlotTable::Config, 2), 42);
    ASSERT_TRUE(f.client.exchange(request(Lights, 2, ConfigSet, 20, {3, 2, 1, 1})));
    EXPECT_EQ(f.sim.raw(Lights, SlotTable::Config, 20), 0x010203);
    ASSERT_TRUE(f.client.exchange(request(Main, 3, Misc, 255, {1, 4, 0xAF, 0xBE, 0xAD, 0xDE})));
    EXPECT_EQ(uint32_t(f.sim.scratchpad(Main, 4)), 0xDEADBEAFu);
    ASSERT_TRUE(f.client.exchange(request(Main, 4, Misc, 4, {1, 0x34, 0x12})));
    EXPECT_EQ(f.sim.network().boardServerPort, 0x1234);
    ASSERT_TRUE(f.client.exchange(request(Main, 5, Misc, 3, {0x2C, 1, 0, 0})));
    EXPECT_EQ(f.sim.clock(), 300);

    auto const transitions = f.sim.counters().transitions();
    ASSERT_EQ(transitions.size(), 1u);
    EXPECT_EQ(transitions[0].slot, 20);
    EXPECT_EQ(transitions[0].target, 0x010203u);
    EXPECT_TRUE(transitions[0].transition);
}

TEST(CommandState, repeatedRequestsActAgain) {
    SimFixture f;
    const Bytes action = request(Psu, 9, Action, 0);
    ASSERT_TRUE(f.client.exchange(action));
    ASSERT_TRUE(f.client.exchange(action)); // the same sequence number: a retry
    EXPECT_EQ(f.sim.counters().actions(Psu, 0), 2u);
    EXPECT_EQ(f.sim.counters().requests(Psu, Action, 0), 2u);
}

TEST(CommandState, securityStoresAndCancelsThePreauthentication) {
    SimFixture f;
    ASSERT_TRUE(f.client.exchange(
        request(Main, 1, Misc, 5, concat(concat(concat({3, 0}, text(Hash64)), {0}), {'s', 0}))));
    ASSERT_TRUE(f.sim.preauth());
    EXPECT_EQ(f.sim.preauth()->hash, Hash64);
    EXPECT_EQ(f.sim.preauth()->salt, "s");
    ASSERT_TRUE(f.client.exchange(request(Main, 2, Misc, 5, {3, 0, 0x30, 0, 0x30, 0})));
    EXPECT_FALSE(f.sim.preauth());
}

TEST(CommandState, disarmCountsAttemptsAndKeepsThePasswordOutOfTheLog) {
    SimFixture f;
    f.sim.setPassword("abcd");
    ASSERT_TRUE(
        f.client.exchange(request(Main, 1, Misc, 241, {1, 0, 0, 0, 0, 0, 'x', 'y', 'z', 'w'})));
    EXPECT_FALSE(f.sim.disarmed());
    ASSERT_TRUE(
        f.client.exchange(request(Main, 2, Misc, 241, {1, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd'})));
    EXPECT_TRUE(f.sim.disarmed());
    EXPECT_EQ(f.sim.counters().disarmAttempts(), 2u);
    for (auto const& r : f.sim.requests()) {
        EXPECT_EQ(r.summary, "disarm len=4");
        EXPECT_EQ(r.hex, "00 0" + std::to_string(r.sequence) + " 05 f1 01 00 00 00 00 00");
        EXPECT_EQ(r.payload.size(), 6u);
    }
}

TEST(CommandState, rebootClearsTheScratchpadAndOpensTheBootWindow) {
    SimFixture f;
    f.sim.setScratchpad(Psu, 4, 7);
    f.sim.setUptime(Psu, 500);
    ASSERT_EQ(*f.client.exchange(request(Psu, 1, Misc, 0)), (Bytes{0xC9, 1, 5, 0}));
    EXPECT_EQ(f.sim.scratchpad(Psu, 4), 0);
    EXPECT_EQ(f.sim.counters().reboots(Psu), 1u);
    EXPECT_TRUE(f.sim.isBooting(Psu));
    EXPECT_EQ(*f.client.exchange(request(Psu, 2, Heartbeat, 0)), (Bytes{0xC9, 2, 0x82, 0}));
    ASSERT_TRUE(f.sim.waitBooted(Psu, 2000));
    auto reply = f.client.exchange(request(Psu, 3, Heartbeat, 0));
    ASSERT_TRUE(reply && reply->size() == 8);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 4), (Bytes{0xC9, 3, 0x7F, 0}));
    EXPECT_LE((*reply)[4], 1) << "uptime counts from the reboot";
}

TEST(CommandState, restoreDefaultsAndPowerCycleBringBackTheScenarioValues) {
    SimFixture f;
    const int32_t initial = f.sim.raw(Psu, SlotTable::Config, 2);
    f.sim.setRaw(Psu, SlotTable::Config, 2, initial + 1);
    ASSERT_TRUE(f.client.exchange(request(Psu, 1, Misc, 1)));
    EXPECT_EQ(f.sim.raw(Psu, SlotTable::Config, 2), initial);

    f.sim.setRaw(Psu, SlotTable::Config, 2, initial + 1);
    f.sim.reboot(Psu);
    EXPECT_EQ(f.sim.raw(Psu, SlotTable::Config, 2), initial + 1)
        << "a reboot keeps the configuration";
    f.sim.powerCycle(Psu);
    EXPECT_EQ(f.sim.raw(Psu, SlotTable::Config, 2), initial);
}

TEST(CommandState, malformedDatagramsAreLoggedWithoutReply) {
    SimFixture f;
    EXPECT_FALSE(f.client.exchange({0, 1}, 100));
    auto const log = f.sim.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].malformed);
    EXPECT_EQ(log[0].hex, "00 01");
    EXPECT_EQ(log[0].outcome, "no reply");
}

TEST(CommandState, lightPatternsAreRecorded) {
    SimFixture f;
    ASSERT_TRUE(f.client.exchange(request(
        Lights, 1, Misc, 10, {2, 3, 0, 0, 0xFF, 1, 0xF4, 1, 0, 0, 0, 0, 0, 0, 0xF4, 1, 0, 0})));
    auto const patterns = f.sim.counters().patterns();
    ASSERT_EQ(patterns.size(), 1u);
    EXPECT_EQ(patterns[0].repeat, 3);
    ASSERT_EQ(patterns[0].steps.size(), 2u);
    EXPECT_EQ(patterns[0].steps[0].r, 0xFF);
    EXPECT_EQ(patterns[0].steps[0].t, 1);
    EXPECT_EQ(patterns[0].steps[0].durationMs, 500u);
    EXPECT_EQ(patterns[0].steps[1].t, 0);
}
