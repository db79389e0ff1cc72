#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include "bus/BusReport.h"
#include "bus/Helpers.h"

#include <nlohmann/json.hpp>

#include <functional>

namespace bustest {
namespace {

using velt::ZRV480::Bus::BusReport;
using velt::ZRV480::Bus::Common::Helpers;
using Command = Packet::Command;
using nlohmann::json;
using Ip = std::array<uint8_t, 4>;

class ParserMainTest : public CommandsBus {};

// Each read with the values it decoded as JSON, so one table holds them all.
using Read = std::function<ErrorCode(Parser&, json&)>;

Read const timestampRead = [](Parser& p, json& out) {
    int32_t timestamp = -1;
    ErrorCode result = p.mainTimestampGet(timestamp);
    out = timestamp;
    return result;
};
Read const statusRead = [](Parser& p, json& out) {
    bool link = false;
    std::array<uint8_t, 6> mac{9, 9, 9, 9, 9, 9};
    Ip ip{9, 9, 9, 9};
    ErrorCode result = p.mainNetworkStatusGet(link, mac, ip);
    out = {link, mac, ip};
    return result;
};
Read const boardServerRead = [](Parser& p, json& out) {
    uint16_t port = 1;
    ErrorCode result = p.mainNetworkBoardServerGet(port);
    out = port;
    return result;
};
Read const dhcpRead = [](Parser& p, json& out) {
    bool dhcp = true;
    ErrorCode result = p.mainNetworkDhcpGet(dhcp);
    out = dhcp;
    return result;
};
Read const ipRead = [](Parser& p, json& out) {
    Ip ip{9, 9, 9, 9};
    Ip netmask = ip;
    Ip gateway = ip;
    ErrorCode result = p.mainNetworkIpGet(ip, netmask, gateway);
    out = {ip, netmask, gateway};
    return result;
};
Read const dnsRead = [](Parser& p, json& out) {
    Ip dns{9, 9, 9, 9};
    ErrorCode result = p.mainNetworkDnsGet(dns);
    out = dns;
    return result;
};
Read const busReportRead = [](Parser& p, json& out) {
    BusReport report{9, 9, 9, 9, 9};
    ErrorCode result = p.mainBusStatisticsGet(report);
    out = {report.total, report.connected, report.rx, report.tx, report.quality};
    return result;
};

TEST_F(ParserMainTest, ReadsSendTheirSubCommandAndDecodeTheReply) {
    struct Case {
        char const* name;
        Read read;
        uint8_t slot;
        Bytes sent;
        Bytes reply;
        ErrorCode result;
        json values;
    };
    Bytes const status{0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xC0, 0xA8, 0x01, 0x0A};
    Bytes const ip{192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1};
    json const unreadIp = {{9, 9, 9, 9}, {9, 9, 9, 9}, {9, 9, 9, 9}};
    Case const cases[] = {
        {"clock", timestampRead, 3, {}, {0x2C, 0x01, 0x00, 0x00}, ErrorCode::Success, 300},
        {"clock short", timestampRead, 3, {}, {0x2C, 0x01, 0x00}, ErrorCode::MalformedResponse, -1},
        {"status",
         statusRead,
         4,
         {0x00},
         status,
         ErrorCode::Success,
         {true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0xC0, 0xA8, 0x01, 0x0A}}},
        {"status short",
         statusRead,
         4,
         {0x00},
         Bytes(status.begin(), status.end() - 1),
         ErrorCode::MalformedResponse,
         {false, {9, 9, 9, 9, 9, 9}, {9, 9, 9, 9}}},
        {"board server", boardServerRead, 4, {0x01}, {0x10, 0x27}, ErrorCode::Success, 10000},
        {"board server short", boardServerRead, 4, {0x01}, {0x10}, ErrorCode::MalformedResponse, 1},
        {"dhcp off", dhcpRead, 4, {0x02}, {0x00}, ErrorCode::Success, false},
        {"dhcp short", dhcpRead, 4, {0x02}, {}, ErrorCode::MalformedResponse, true},
        {"ip",
         ipRead,
         4,
         {0x03},
         ip,
         ErrorCode::Success,
         {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 1}}},
        {"ip short",
         ipRead,
         4,
         {0x03},
         Bytes(ip.begin(), ip.end() - 1),
         ErrorCode::MalformedResponse,
         unreadIp},
        {"dns", dnsRead, 4, {0x04}, {8, 8, 4, 4}, ErrorCode::Success, {8, 8, 4, 4}},
        {"dns short", dnsRead, 4, {0x04}, {8, 8, 4}, ErrorCode::MalformedResponse, {9, 9, 9, 9}},
        {"bus report",
         busReportRead,
         6,
         {},
         {0x05, 0x04, 0x10, 0x00, 0x20, 0x00, 0x64},
         ErrorCode::Success,
         {5, 4, 16, 32, 100}},
        {"bus report short",
         busReportRead,
         6,
         {},
         {0x05, 0x04, 0x10, 0x00, 0x20, 0x00},
         ErrorCode::MalformedResponse,
         {9, 9, 9, 9, 9}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        replyWith(Main, Command::Misc, c.slot, c.reply);
        json values;
        EXPECT_EQ(c.read(parser, values), c.result);
        EXPECT_EQ(values, c.values);
        expectOnly(Main, Command::Misc, c.slot, c.sent);
    }
}

TEST_F(ParserMainTest, OnlyTheClockWarnsAboutAShortReply) {
    replyWith(Main, Command::Misc, 4, {0x01});
    replyWith(Main, Command::Misc, 3, {0x01});
    testsupport::LogCapture log;
    json values;
    EXPECT_EQ(statusRead(parser, values), ErrorCode::MalformedResponse);
    EXPECT_EQ(log.count("MalformedResponse"), 0u);
    testsupport::LogCapture clockLog;
    EXPECT_EQ(timestampRead(parser, values), ErrorCode::MalformedResponse);
    EXPECT_EQ(clockLog.count("[Parser] MalformedResponse"), 1u);
}

TEST_F(ParserMainTest, SettersSendTheirValuesAndTakeTheEcho) {
    using Write = std::function<ErrorCode(Parser&, json&)>;
    struct Case {
        char const* name;
        Write write;
        uint8_t slot;
        Bytes sent;
        std::optional<Bytes> echo; // the board's own echo when unset
        ErrorCode result;
        json values;
    };
    Write const timestampWrite = [](Parser& p, json& out) {
        int32_t timestamp = 300;
        ErrorCode result = p.mainTimestampSet(timestamp);
        out = timestamp;
        return result;
    };
    Write const boardServerWrite = [](Parser& p, json& out) {
        uint16_t port = 10000;
        ErrorCode result = p.mainNetworkBoardServerSet(port);
        out = port;
        return result;
    };
    Write const dhcpWrite = [](Parser& p, json& out) {
        bool dhcp = true;
        ErrorCode result = p.mainNetworkDhcpSet(dhcp);
        out = dhcp;
        return result;
    };
    Write const ipWrite = [](Parser& p, json& out) {
        Ip ip{10, 0, 0, 2};
        Ip netmask{255, 0, 0, 0};
        Ip gateway{10, 0, 0, 1};
        ErrorCode result = p.mainNetworkIpSet(ip, netmask, gateway);
        out = {ip, netmask, gateway};
        return result;
    };
    Write const dnsWrite = [](Parser& p, json& out) {
        Ip dns{1, 1, 1, 1};
        ErrorCode result = p.mainNetworkDnsSet(dns);
        out = dns;
        return result;
    };
    json const requestedIp = {{10, 0, 0, 2}, {255, 0, 0, 0}, {10, 0, 0, 1}};
    Bytes const ipSent{0x03, 10, 0, 0, 2, 255, 0, 0, 0, 10, 0, 0, 1};
    Case const cases[] = {
        {"clock", timestampWrite, 3, {0x2C, 0x01, 0x00, 0x00}, {}, ErrorCode::Success, 300},
        {"clock echo",
         timestampWrite,
         3,
         {0x2C, 0x01, 0x00, 0x00},
         Bytes{0x2D, 0x01, 0x00, 0x00},
         ErrorCode::Success,
         301},
        {"board server",
         boardServerWrite,
         4,
         {0x01, 0x10, 0x27},
         Bytes{0x11, 0x27},
         ErrorCode::Success,
         10001},
        {"dhcp", dhcpWrite, 4, {0x02, 0x01}, {}, ErrorCode::Success, true},
        {"dhcp echo off", dhcpWrite, 4, {0x02, 0x01}, Bytes{0x00}, ErrorCode::Success, false},
        {"ip", ipWrite, 4, ipSent, {}, ErrorCode::Success, requestedIp},
        {"ip short echo", ipWrite, 4, ipSent, Bytes(11, 0x01), ErrorCode::MalformedResponse,
         requestedIp},
        {"dns",
         dnsWrite,
         4,
         {0x04, 1, 1, 1, 1},
         Bytes{8, 8, 8, 8},
         ErrorCode::Success,
         {8, 8, 8, 8}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        if (c.echo) {
            onRequest(Main, Command::Misc, c.slot, boardsim::Action::echoOverride(*c.echo));
        }
        json values;
        EXPECT_EQ(c.write(parser, values), c.result);
        EXPECT_EQ(values, c.values);
        expectOnly(Main, Command::Misc, c.slot, c.sent);
    }
}

TEST_F(ParserMainTest, PreAuthenticationSendsHashAndSaltZeroTerminated) {
    std::string const hash(64, 'a');
    EXPECT_EQ(parser.mainSecurityPreAuth(hash, ""), ErrorCode::Success);
    Bytes expected{0x03, 0x00};
    expected.insert(expected.end(), hash.begin(), hash.end());
    expected.insert(expected.end(), {0x00, 0x00});
    expectOnly(Main, Command::Misc, 5, expected);
    ASSERT_TRUE(sim.preauth().has_value());
    EXPECT_EQ(sim.preauth()->hash, hash);
    EXPECT_EQ(sim.preauth()->salt, "");

    sim.clearRequests();
    EXPECT_EQ(parser.mainSecurityPreAuthCancel(), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x03, 0x00, '0', 0x00, '0', 0x00}));
    EXPECT_FALSE(sim.preauth().has_value());
}

TEST_F(ParserMainTest, PreAuthenticationRefusesABadHashOrSaltUnsent) {
    struct Case {
        char const* name;
        std::string hash;
        std::string salt;
    };
    Case const cases[] = {
        {"63 characters", std::string(63, 'a'), "salt"},
        {"65 characters", std::string(65, 'a'), "salt"},
        {"zero byte in the hash", std::string(31, 'a') + '\0' + std::string(32, 'a'), "salt"},
        {"zero byte in the salt", std::string(64, 'a'), std::string("sa\0lt", 5)},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parser.mainSecurityPreAuth(c.hash, c.salt), ErrorCode::MalformedRequest);
        EXPECT_TRUE(sim.requests().empty());
    }
    testsupport::LogCapture log;
    parser.mainSecurityPreAuth(std::string(63, 'a'), "");
    EXPECT_EQ(log.count("Password hash length is invalid (expected=64, actual=63)"), 1u);
}

TEST_F(ParserMainTest, DisarmSendsThePasswordBehindItsZeros) {
    sim.setPassword("abcd");
    bool disarmed = false;
    EXPECT_EQ(parser.mainSecurityDisarm("abcd", disarmed), ErrorCode::Success);
    EXPECT_TRUE(disarmed);
    EXPECT_TRUE(sim.disarmed());
    // The simulator logs the frame up to the password: 1 and five zeros.
    expectOnly(Main, Command::Misc, 241, {1, 0, 0, 0, 0, 0});

    EXPECT_EQ(parser.mainSecurityDisarm("abce", disarmed), ErrorCode::Success);
    EXPECT_FALSE(disarmed);

    replyWith(Main, Command::Misc, 241, {});
    disarmed = true;
    EXPECT_EQ(parser.mainSecurityDisarm("abcd", disarmed), ErrorCode::MalformedResponse);
    EXPECT_TRUE(disarmed);

    forgetRequests(3);
    EXPECT_EQ(parser.mainSecurityDisarm(std::string("ab\0d", 4), disarmed),
              ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.requests().empty());
}

// One datagram carries a frame of at most 65507 bytes: the disarm frame holds
// 4 + 2 × length + 2 bytes, the pre-authentication one 4 + 68 + the salt's
// length. A longer one could only time out and take the bus offline.
TEST_F(ParserMainTest, SecretsLongerThanAFrameCarriesAreRefusedUnsent) {
    std::string const hash(64, 'a');
    bool disarmed = false;
    struct Case {
        char const* name;
        std::function<ErrorCode()> request;
        bool fits;
    };
    Case const cases[] = {
        {"password of 32750",
         [&] { return parser.mainSecurityDisarm(std::string(32750, 'p'), disarmed); }, true},
        {"password of 32751",
         [&] { return parser.mainSecurityDisarm(std::string(32751, 'p'), disarmed); }, false},
        {"salt of 65435", [&] { return parser.mainSecurityPreAuth(hash, std::string(65435, 's')); },
         true},
        {"salt of 65436", [&] { return parser.mainSecurityPreAuth(hash, std::string(65436, 's')); },
         false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRequests();
        testsupport::LogCapture log;
        EXPECT_EQ(c.request(), c.fits ? ErrorCode::Success : ErrorCode::InvalidParameter);
        EXPECT_EQ(sim.requests().size(), c.fits ? 1u : 0u);
        EXPECT_TRUE(parser.isOnline(Main));
        if (!c.fits) {
            EXPECT_EQ(log.count("more than a request frame carries (65507)"), 1u) << log.text();
        }
    }
}

// The frames are logged when sent and again when an error reply takes the
// board offline; neither may show a password, hash or salt.
TEST_F(ParserMainTest, SecretsNeverReachTheLog) {
    std::string const hash(64, 'H');
    std::string const salt = "pepper";
    std::string const password = "hunter2";
    testsupport::LogCapture log;
    Log::setLevel(Log::Level::Debug);
    onRequest(Main, Command::Misc, 5, boardsim::Action::errorReply(0x83));
    onRequest(Main, Command::Misc, 241, boardsim::Action::errorReply(0x83));
    bool disarmed = false;
    EXPECT_EQ(parser.mainSecurityPreAuth(hash, salt), ErrorCode::BusProtocolError);
    EXPECT_EQ(parser.mainSecurityDisarm(password, disarmed), ErrorCode::BusProtocolError);
    std::string const text = log.text();
    EXPECT_NE(text.find("Transmitted"), std::string::npos);
    EXPECT_NE(text.find("offline: (response=BusProtocolError"), std::string::npos);
    for (std::string const& secret : {hash.substr(0, 8), salt, password}) {
        SCOPED_TRACE(secret);
        Bytes const bytes(secret.begin(), secret.end());
        EXPECT_EQ(text.find(secret), std::string::npos);
        EXPECT_EQ(text.find(Helpers::hexStr(bytes, true)), std::string::npos);
        EXPECT_EQ(text.find(Helpers::hexStr(bytes, false)), std::string::npos);
    }
}

} // namespace
} // namespace bustest
