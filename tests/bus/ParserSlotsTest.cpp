#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include "bus/Board.h"
#include "bus/Color.h"

#include <cmath>
#include <functional>
#include <limits>

namespace bustest {
namespace {

using velt::ZRV480::Bus::Board;
using velt::ZRV480::Bus::SlotType;
using velt::ZRV480::Bus::ValueObjects::Color;
using Command = Packet::Command;
using nlohmann::json;

// The configuration slots the simulator's psu and light board have.
Board psuBoard() {
    return Board(Psu, "psu", "psu.bin", 123, {{0, "fatal"}},
                 {{3, {"chargerState", SlotType::Enum, 0}}},
                 {{0, {"fanMode", SlotType::Enum, 0, 0, 0}},
                  {1, {"outputEnabled", SlotType::Bool, 0, 0, 0}},
                  {2, {"batteryLowThreshold", SlotType::Int32, 0, 0, 100}},
                  {4, {"chargeVoltageLimit", SlotType::Double, 100, 1100, 1500}}},
                 {}, {{0, {{0, "Auto"}, {1, "Low"}, {2, "High"}}}, {3, {{0, "Idle"}}}});
}

Board lightBoard() {
    return Board(Light, "light", "lights.bin", 15, {{0, "fatal"}}, {},
                 {{10, {"lightP1", SlotType::Int32, 0, 0, 255}},
                  {20, {"lightRgb1", SlotType::Color, 0, 0, 0}}},
                 {}, {});
}

// A light slot of the simulator echoes exactly the bytes it received.
Packet const lightTarget(Light, Command::ConfigSet, 20, {});

class ParserSlotsTest : public CommandsBus {};

TEST_F(ParserSlotsTest, ReadersDecodeTheReplyAndRefuseShortOnes) {
    using Read = std::function<ErrorCode(Parser&, Packet const&, double&)>;
    Read const int32Read = [](Parser& p, Packet const& r, double& out) {
        int32_t value = 77;
        ErrorCode result = p.int32Get(r, value);
        out = value;
        return result;
    };
    Read const enumRead = [](Parser& p, Packet const& r, double& out) {
        int32_t value = 77;
        ErrorCode result = p.enumGet(r, value);
        out = value;
        return result;
    };
    Read const doubleRead = [](Parser& p, Packet const& r, double& out) {
        out = 77;
        return p.doubleGet(r, 10, out);
    };
    Read const boolRead = [](Parser& p, Packet const& r, double& out) {
        bool value = false;
        ErrorCode result = p.boolGet(r, value);
        out = result == ErrorCode::Success ? value : 77;
        return result;
    };
    struct Case {
        char const* name;
        Read read;
        Bytes payload;
        ErrorCode result;
        double value;
    };
    Case const cases[] = {
        {"int32", int32Read, {0x2A, 0x00, 0x00, 0x00}, ErrorCode::Success, 42},
        {"int32 with the transition flag",
         int32Read,
         {0x05, 0x00, 0x00, 0x01},
         ErrorCode::Success,
         5},
        {"int32 negative keeps bit 24",
         int32Read,
         {0x05, 0x00, 0x00, 0x81},
         ErrorCode::Success,
         static_cast<int32_t>(0x81000005)},
        {"int32 flag alone", int32Read, {0x00, 0x00, 0x00, 0x01}, ErrorCode::Success, 0},
        {"int32 extra bytes ignored",
         int32Read,
         {0x05, 0x00, 0x00, 0x00, 0x09},
         ErrorCode::Success,
         5},
        {"int32 three bytes", int32Read, {0x05, 0x00, 0x00}, ErrorCode::MalformedResponse, 77},
        {"enum", enumRead, {0x02, 0x00, 0x00, 0x01}, ErrorCode::Success, 2},
        {"double", doubleRead, {0x9C, 0xFF, 0xFF, 0xFF}, ErrorCode::Success, -10.0},
        {"double three bytes", doubleRead, {0x9C, 0xFF, 0xFF}, ErrorCode::MalformedResponse, 77},
        {"bool one byte", boolRead, {0x02}, ErrorCode::Success, 1},
        {"bool zero", boolRead, {0x00, 0x01, 0x01, 0x01}, ErrorCode::Success, 0},
        {"bool empty", boolRead, {}, ErrorCode::MalformedResponse, 77},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        replyWith(Psu, Command::ConfigGet, 2, c.payload);
        double value = 0;
        EXPECT_EQ(c.read(parser, Packet(Psu, Command::ConfigGet, 2, {}), value), c.result);
        EXPECT_DOUBLE_EQ(value, c.value);
        expectOnly(Psu, Command::ConfigGet, 2, {});
    }
}

TEST_F(ParserSlotsTest, WritersEncodeTheValueAndTakeTheEcho) {
    using Write = std::function<ErrorCode(Parser&, double&)>;
    struct Case {
        char const* name;
        Write write;
        double value;
        std::optional<Bytes> echo; // the board's own echo when unset
        Bytes sent;
        ErrorCode result;
        double after;
    };
    Write const int32Write = [](Parser& p, double& v) {
        int32_t value = static_cast<int32_t>(v);
        ErrorCode result = p.int32Set(lightTarget, value);
        v = value;
        return result;
    };
    Write const doubleWrite = [](Parser& p, double& v) { return p.doubleSet(lightTarget, 10, v); };
    Write const boolWrite = [](Parser& p, double& v) {
        bool value = v != 0;
        ErrorCode result = p.boolSet(lightTarget, value);
        v = value;
        return result;
    };
    Write const enumWrite = [](Parser& p, double& v) {
        return p.enumSet(lightTarget, static_cast<int32_t>(v));
    };
    Case const cases[] = {
        {"int32", int32Write, -2, {}, {0xFE, 0xFF, 0xFF, 0xFF}, ErrorCode::Success, -2},
        {"int32 echo keeps bit 24",
         int32Write,
         5,
         Bytes{0x05, 0x00, 0x00, 0x01},
         {0x05, 0x00, 0x00, 0x00},
         ErrorCode::Success,
         0x01000005},
        {"int32 short echo",
         int32Write,
         5,
         Bytes{0x05, 0x00},
         {0x05, 0x00, 0x00, 0x00},
         ErrorCode::MalformedResponse,
         5},
        {"double truncates toward zero",
         doubleWrite,
         -1.25,
         {},
         {0xF4, 0xFF, 0xFF, 0xFF},
         ErrorCode::Success,
         -1.2},
        {"double echo",
         doubleWrite,
         1.0,
         Bytes{0x0F, 0x00, 0x00, 0x00},
         {0x0A, 0x00, 0x00, 0x00},
         ErrorCode::Success,
         1.5},
        {"bool", boolWrite, 1, {}, {0x01, 0x00, 0x00, 0x00}, ErrorCode::Success, 1},
        {"bool echo 02",
         boolWrite,
         0,
         Bytes{0x02},
         {0x00, 0x00, 0x00, 0x00},
         ErrorCode::Success,
         1},
        {"bool empty echo",
         boolWrite,
         1,
         Bytes{},
         {0x01, 0x00, 0x00, 0x00},
         ErrorCode::MalformedResponse,
         1},
        {"enum reply not read",
         enumWrite,
         2,
         Bytes{},
         {0x02, 0x00, 0x00, 0x00},
         ErrorCode::Success,
         2},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        if (c.echo) {
            onRequest(Light, Command::ConfigSet, 20, boardsim::Action::echoOverride(*c.echo));
        }
        double value = c.value;
        EXPECT_EQ(c.write(parser, value), c.result);
        EXPECT_DOUBLE_EQ(value, c.after);
        expectOnly(Light, Command::ConfigSet, 20, c.sent);
    }
}

// value × multiplier must be a finite signed 32-bit number: anything else
// would be wrapped or undefined on the way to the board.
TEST_F(ParserSlotsTest, DoubleSetRefusesValuesThatDoNotFitThirtyTwoBits) {
    struct Case {
        double value;
        uint8_t multiplier;
        ErrorCode result;
        Bytes sent;
    };
    Case const cases[] = {
        {2147483647.0, 1, ErrorCode::Success, {0xFF, 0xFF, 0xFF, 0x7F}},
        {-2147483648.0, 1, ErrorCode::Success, {0x00, 0x00, 0x00, 0x80}},
        {2147483648.0, 1, ErrorCode::InvalidParameter, {}},
        {3e8, 10, ErrorCode::InvalidParameter, {}},
        {-3e8, 10, ErrorCode::InvalidParameter, {}},
        {std::numeric_limits<double>::infinity(), 1, ErrorCode::InvalidParameter, {}},
        {std::numeric_limits<double>::quiet_NaN(), 1, ErrorCode::InvalidParameter, {}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.value);
        sim.clearRequests();
        // The error reply keeps the light from storing the value; the request is logged.
        onRequest(Light, Command::ConfigSet, 20, boardsim::Action::errorReply(0x86));
        double value = c.value;
        ErrorCode result = parser.doubleSet(lightTarget, c.multiplier, value);
        if (c.result == ErrorCode::Success) {
            EXPECT_EQ(result, ErrorCode::BusInvalidValue);
            EXPECT_EQ(lastPayload(), c.sent);
        } else {
            EXPECT_EQ(result, c.result);
            EXPECT_TRUE(sim.requests().empty());
        }
        EXPECT_TRUE(std::isnan(c.value) ? std::isnan(value) : value == c.value);
    }
}

TEST_F(ParserSlotsTest, LightTransitionsSetBit24AndKeepTheRequestWhenTheWriteFails) {
    Color colour{1, 2, 3};
    EXPECT_EQ(parser.lightTransitionColor(Light, 20, colour), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x03, 0x02, 0x01, 0x01}));
    EXPECT_EQ(requests(1).back().command, 3);
    EXPECT_EQ(colour.toJson(), (json{{"r", 1}, {"g", 2}, {"b", 3}}));

    sim.clearRequests();
    uint8_t value = 200;
    EXPECT_EQ(parser.lightTransitionValue(Light, 10, value), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0xC8, 0x00, 0x00, 0x01}));
    EXPECT_EQ(requests(1).back().slot, 10);
    EXPECT_EQ(value, 200);

    onRequest(Light, Command::ConfigSet, 10, boardsim::Action::echoOverride({0x07, 0, 0, 1}));
    EXPECT_EQ(parser.lightTransitionValue(Light, 10, value), ErrorCode::Success);
    EXPECT_EQ(value, 7);

    sim.clearRules();
    onRequest(Light, Command::ConfigSet, 20, boardsim::Action::dropReply());
    colour = Color{9, 8, 7};
    EXPECT_EQ(parser.lightTransitionColor(Light, 20, colour), ErrorCode::Timeout);
    EXPECT_EQ(colour.toJson(), (json{{"r", 9}, {"g", 8}, {"b", 7}}));
}

TEST_F(ParserSlotsTest, StatusSlotZeroReadsTwoWords) {
    sim.setStatus(Psu, 0x11, 0x80000022);
    std::bitset<32> status;
    std::bitset<32> errors;
    EXPECT_EQ(parser.slot0StatusGet(Packet(Psu, Command::Status, 0, {}), status, errors),
              ErrorCode::Success);
    EXPECT_EQ(status.to_ulong(), 0x11u);
    EXPECT_EQ(errors.to_ulong(), 0x80000022u);

    replyWith(Psu, Command::Status, 0, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(parser.slot0StatusGet(Packet(Psu, Command::Status, 0, {}), status, errors),
              ErrorCode::MalformedResponse);
    EXPECT_EQ(status.to_ulong(), 0x11u);

    forgetRequests(2);
    testsupport::LogCapture log;
    EXPECT_EQ(parser.slot0StatusGet(Packet(Psu, Command::Status, 3, {}), status, errors),
              ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(log.count("This function can't handle status(n) type of messages"), 1u);
}

TEST_F(ParserSlotsTest, StatusSlotNReadsACodeAndATextUpToItsZero) {
    struct Case {
        Bytes payload;
        ErrorCode result;
        uint8_t code;
        std::string text;
    };
    Case const cases[] = {
        {{0x2A, 0x00, 0x00, 0x00, 'O', 'K'}, ErrorCode::Success, 42, "OK"},
        {{0x01, 0x02, 0x00, 0x00, 'A', 0x00, 'B'}, ErrorCode::Success, 1, "A"},
        {{0x07, 0x00, 0x00, 0x00}, ErrorCode::Success, 7, ""},
        {{0x07, 0x00, 0x00}, ErrorCode::MalformedResponse, 99, "before"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.payload));
        sim.clearRules();
        replyWith(Psu, Command::Status, 4, c.payload);
        std::pair<uint8_t, std::string> status{99, "before"};
        EXPECT_EQ(parser.slotNStatusGet(Packet(Psu, Command::Status, 4, {}), status), c.result);
        EXPECT_EQ(status.first, c.code);
        EXPECT_EQ(status.second, c.text);
    }

    forgetRequests(std::size(cases));
    testsupport::LogCapture log;
    std::pair<uint8_t, std::string> status;
    EXPECT_EQ(parser.slotNStatusGet(Packet(Psu, Command::Status, 0, {}), status),
              ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(log.count("This function can't handle status(0) type of messages"), 1u);
}

TEST_F(ParserSlotsTest, BoardConfigSetWritesByTypeAndRefusesWhatCannotBeSent) {
    Board const psu = psuBoard();
    Board const light = lightBoard();
    struct Case {
        char const* name;
        Board const& board;
        uint8_t slot;
        SlotType type;
        json value;
        ErrorCode result;
        std::optional<Bytes> sent; // unset: nothing sent
        json after;
    };
    Case const cases[] = {
        {"int32", psu, 2, SlotType::Int32, 55, ErrorCode::Success, Bytes{0x37, 0, 0, 0}, 55},
        {"int32 beyond 32 bits",
         psu,
         2,
         SlotType::Int32,
         2147483648u,
         ErrorCode::InvalidParameter,
         {},
         2147483648u},
        {"int32 below 32 bits",
         psu,
         2,
         SlotType::Int32,
         -2147483649LL,
         ErrorCode::InvalidParameter,
         {},
         -2147483649LL},
        {"bool", psu, 1, SlotType::Bool, true, ErrorCode::Success, Bytes{1, 0, 0, 0}, true},
        {"double", psu, 4, SlotType::Double, 12.5, ErrorCode::Success, Bytes{0xE2, 0x04, 0, 0},
         12.5},
        {"double beyond 32 bits",
         psu,
         4,
         SlotType::Double,
         3e7,
         ErrorCode::InvalidParameter,
         {},
         3e7},
        {"enum", psu, 0, SlotType::Enum, "High", ErrorCode::Success, Bytes{2, 0, 0, 0}, "High"},
        {"enum is case-sensitive",
         psu,
         0,
         SlotType::Enum,
         "high",
         ErrorCode::BusInvalidValue,
         {},
         "high"},
        {"telemetry slot", psu, 3, SlotType::Enum, "Idle", ErrorCode::BusInvalidSlot, {}, "Idle"},
        {"colour keeps the low 8 bits", light, 20, SlotType::Color,
         json{{"r", 300}, {"g", 0}, {"b", 1}}, ErrorCode::Success, Bytes{1, 0, 44, 0},
         json{{"r", 44}, {"g", 0}, {"b", 1}}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRequests();
        // The check foretells the refusal, so a caller can keep it from the cache.
        EXPECT_EQ(Parser::configValueFits(c.board, c.slot, c.value),
                  c.sent ? ErrorCode::Success : c.result);
        json value = c.value;
        EXPECT_EQ(parser.boardConfigSet(c.board.getAddress(), c.slot, c.type, value, c.board),
                  c.result);
        EXPECT_EQ(value, c.after);
        EXPECT_EQ(value.type(), c.after.type());
        if (c.sent) {
            expectOnly(c.board.getAddress(), Command::ConfigSet, c.slot, *c.sent);
        } else {
            EXPECT_TRUE(sim.requests().empty());
        }
    }
}

TEST_F(ParserSlotsTest, BoardConfigSetLeavesTheRequestInItsJsonFormWhenTheWriteFails) {
    Board const psu = psuBoard();
    onRequest(Psu, Command::ConfigSet, 4, boardsim::Action::errorReply(0x86));
    json value = 12; // an integer written to a Double slot
    EXPECT_EQ(parser.boardConfigSet(Psu, 4, SlotType::Double, value, psu),
              ErrorCode::BusInvalidValue);
    EXPECT_TRUE(value.is_number_float());
    EXPECT_EQ(value, 12.0);
}

TEST(ConfigValueMatchesTypeTest, AcceptsTheKindsOfEachSlotType) {
    struct Case {
        SlotType type;
        json value;
        bool accepted;
    };
    Case const cases[] = {
        {SlotType::Int32, 3, true},
        {SlotType::Int32, -3, true},
        {SlotType::Int32, 1.5, false},
        {SlotType::Int32, "3", false},
        {SlotType::Bool, true, true},
        {SlotType::Bool, 1, false},
        {SlotType::Double, 3, true},
        {SlotType::Double, 1.5, true},
        {SlotType::Double, false, false},
        {SlotType::Enum, "Auto", true},
        {SlotType::Enum, 0, false},
        {SlotType::Color, json::parse(R"({"r": 1, "g": 2, "b": 300})"), true},
        {SlotType::Color, json{{"r", 1}, {"g", 2}, {"b", 3}}, true},
        {SlotType::Color, json::parse(R"({"r": 1, "g": 2})"), false},
        {SlotType::Color, json::parse(R"({"r": 1, "g": -2, "b": 3})"), false},
        {SlotType::Color, json::parse(R"({"r": 1, "g": 2.5, "b": 3})"), false},
        {SlotType::Color, json::parse("[1, 2, 3]"), false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.value.dump());
        EXPECT_EQ(Parser::configValueMatchesType(c.type, c.value),
                  c.accepted ? ErrorCode::Success : ErrorCode::InvalidParameter);
    }
}

} // namespace
} // namespace bustest
