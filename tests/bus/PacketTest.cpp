#include "bus/Packet.h"

#include <gtest/gtest.h>

#include "support/RandomInput.h"
#include <optional>
#include <random>
#include <vector>

namespace {

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Common::ErrorCode;
using Bytes = std::vector<uint8_t>;

struct ParseCase {
    char const* what;
    Bytes bytes;
    ErrorCode result;
    // Expected fields after parsing; unset for a refusal.
    std::optional<Packet::Command> command;
    uint8_t error;
    uint8_t slot;
    Bytes payload;
};

class FromBytes : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FromBytes, ParsesOrRefusesKeepingTheSequence) {
    ParseCase const& c = GetParam();
    // A packet that held another frame reads the same as a fresh one: nothing
    // of the old frame (payload, command, error) survives.
    Packet used;
    ASSERT_EQ(Packet::fromBytes({0xC9, 9, 0x7F, 44, 1, 2, 3}, used), ErrorCode::Success);
    for (Packet packet : {Packet(), used}) {
        SCOPED_TRACE(packet.getSequence() == 9 ? "reused packet" : "fresh packet");
        ASSERT_EQ(Packet::fromBytes(c.bytes, packet), c.result);
        EXPECT_EQ(packet.getAddress(), 0xC9);
        EXPECT_EQ(packet.getSequence(), 5); // a refused frame still names its request
        if (c.result != ErrorCode::Success) {
            continue;
        }
        EXPECT_EQ(packet.getCommand(), *c.command);
        EXPECT_EQ(packet.getError(), c.error);
        EXPECT_EQ(packet.isError(), c.error != 0);
        EXPECT_EQ(packet.getSlot(), c.slot);
        EXPECT_EQ(packet.getPayload(), c.payload);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FromBytes,
    ::testing::Values(
        ParseCase{"heartbeat",
                  {0xC9, 5, 0x7F, 0},
                  ErrorCode::Success,
                  Packet::Command::Heartbeat,
                  0,
                  0,
                  {}},
        ParseCase{"payload",
                  {0xC9, 5, 1, 7, 0xAA, 0xBB},
                  ErrorCode::Success,
                  Packet::Command::Telemetry,
                  0,
                  7,
                  {0xAA, 0xBB}},
        ParseCase{"errorReply",
                  {0xC9, 5, 0x85, 3},
                  ErrorCode::Success,
                  Packet::Command::Status,
                  0x85,
                  3,
                  {}},
        ParseCase{"errorReply81",
                  {0xC9, 5, 0x81, 0},
                  ErrorCode::Success,
                  Packet::Command::Status,
                  0x81,
                  0,
                  {}},
        ParseCase{"errorReply87",
                  {0xC9, 5, 0x87, 0},
                  ErrorCode::Success,
                  Packet::Command::Status,
                  0x87,
                  0,
                  {}},
        ParseCase{"errorByteWithPayload",
                  {0xC9, 5, 0x85, 3, 0},
                  ErrorCode::MalformedResponse,
                  {},
                  0,
                  0,
                  {}},
        ParseCase{"errorByte80", {0xC9, 5, 0x80, 0}, ErrorCode::MalformedResponse, {}, 0, 0, {}},
        ParseCase{"errorByte88", {0xC9, 5, 0x88, 0}, ErrorCode::MalformedResponse, {}, 0, 0, {}},
        ParseCase{"errorByte8F", {0xC9, 5, 0x8F, 0}, ErrorCode::MalformedResponse, {}, 0, 0, {}},
        ParseCase{"unknownCommand", {0xC9, 5, 6, 0, 1}, ErrorCode::MalformedResponse, {}, 0, 0, {}},
        ParseCase{
            "commandAbove127", {0xC9, 5, 0x90, 0}, ErrorCode::MalformedResponse, {}, 0, 0, {}},
        ParseCase{"ota", {0xC9, 5, 0x40, 0}, ErrorCode::Success, Packet::Command::OTA, 0, 0, {}},
        ParseCase{
            "misc", {0xC9, 5, 5, 241, 1}, ErrorCode::Success, Packet::Command::Misc, 0, 241, {1}}),
    [](auto const& paramInfo) { return std::string(paramInfo.param.what); });

TEST(Packet, ShortDatagramLeavesThePacketUntouched) {
    Packet packet(12, Packet::Command::ConfigSet, 4, {1, 2, 3});
    EXPECT_EQ(Packet::fromBytes({0xC9, 5, 0x7F}, packet), ErrorCode::MalformedResponse);
    EXPECT_EQ(packet.getAddress(), 12);
    EXPECT_EQ(packet.getCommand(), Packet::Command::ConfigSet);
    EXPECT_EQ(packet.getSlot(), 4);
    EXPECT_EQ(packet.getPayload(), (Bytes{1, 2, 3}));
}

TEST(Packet, ReusedPacketTakesTheNewFrame) {
    // An error reply after a normal frame must not keep the old error-free
    // state, and a normal frame after an error reply must clear the error.
    Packet packet;
    ASSERT_EQ(Packet::fromBytes({0xC9, 1, 2, 3, 9, 9}, packet), ErrorCode::Success);
    ASSERT_EQ(Packet::fromBytes({0xC9, 2, 0x83, 4}, packet), ErrorCode::Success);
    EXPECT_EQ(packet.getError(), 0x83);
    EXPECT_EQ(packet.getSequence(), 2);
    ASSERT_EQ(Packet::fromBytes({0xC9, 3, 1, 5, 7}, packet), ErrorCode::Success);
    EXPECT_FALSE(packet.isError());
    EXPECT_EQ(packet.getPayload(), (Bytes{7}));
}

TEST(Packet, ToBytesStampsTheSequence) {
    EXPECT_EQ(Packet(12, Packet::Command::Misc, 0, {}).toBytes(0xFF),
              (Bytes{0x0C, 0xFF, 0x05, 0x00}));
    EXPECT_EQ(Packet(1, Packet::Command::ConfigSet, 7, {0x10, 0x20}).toBytes(3),
              (Bytes{1, 3, 3, 7, 0x10, 0x20}));
}

TEST(Packet, DefaultIsAnEmptyReplyToTheHost) {
    Packet packet;
    EXPECT_EQ(packet.getAddress(), Packet::AddressHost);
    EXPECT_FALSE(packet.isError());
    EXPECT_EQ(packet.getSlot(), 0);
    EXPECT_TRUE(packet.getPayload().empty());
}

TEST(Packet, CommandNames) {
    EXPECT_EQ(Packet::commandToStr(Packet::Command::Heartbeat), "Heartbeat");
    EXPECT_EQ(Packet::commandToStr(Packet::Command::OTA), "OTA");
    EXPECT_EQ(Packet::commandToStr(Packet::Command::ConfigGet), "ConfigGet");
    EXPECT_EQ(Packet::commandToStr(static_cast<Packet::Command>(6)), "Unknown");
}

TEST(Packet, SecretPayloadStaysOutOfTheLogText) {
    Packet request(0, Packet::Command::Misc, 241, {'p', 'w', 0});
    EXPECT_EQ(request.toLogText(9), "00 09 05 f1 70 77 00 ");
    request.setSecret(true);
    EXPECT_EQ(request.toLogText(9), "00 09 05 f1 + 3 secret bytes");
    EXPECT_EQ(request.toBytes(9), (Bytes{0, 9, 5, 241, 'p', 'w', 0})); // the bus still gets them
}

// Seeded random datagrams.
using bustest::below;
using bustest::Budget;
using bustest::randomBytes;
using Command = Packet::Command;
using namespace std::chrono_literals;

// ---------------------------------------------------------------- frames

bool knownCommand(uint8_t byte) {
    return byte <= 5 || byte == 64 || byte == 127;
}

TEST(Packet, RandomDatagramsFollowTheLayout) {
    std::mt19937 random(20261210);
    Budget budget(3000ms);
    for (int i = 0; i < 20000 && !budget.spent(); ++i) {
        Bytes bytes = randomBytes(random, below(random, 601));
        // Steer a share of the frames to the interesting command bytes.
        if (bytes.size() >= 3 && i % 3 == 0) {
            static const uint8_t interesting[] = {0x80, 0x81, 0x85, 0x87, 0x88,
                                                  0x8F, 0x40, 0x7F, 5,    6};
            bytes[2] = interesting[below(random, sizeof interesting)];
        }
        if (i % 7 == 0 && bytes.size() > 4) {
            bytes.resize(4);
        }
        Packet packet(9, Command::Action, 9, {1, 2, 3});
        ErrorCode const code = Packet::fromBytes(bytes, packet);
        SCOPED_TRACE(::testing::Message()
                     << "datagram " << i << " of " << bytes.size() << " bytes");

        if (bytes.size() < 4) {
            ASSERT_EQ(code, ErrorCode::MalformedResponse);
            ASSERT_EQ(packet.getAddress(), 9);
            ASSERT_EQ(packet.getPayload(), (Bytes{1, 2, 3}));
            continue;
        }
        ASSERT_EQ(packet.getAddress(), bytes[0]);
        ASSERT_EQ(packet.getSequence(), bytes[1]);
        uint8_t const code2 = bytes[2];
        bool const errorFrame = bytes.size() == 4 && (code2 & 0xF0) == 0x80;
        bool const accepted = errorFrame ? (code2 >= 0x81 && code2 <= 0x87) : knownCommand(code2);
        ASSERT_EQ(code, accepted ? ErrorCode::Success : ErrorCode::MalformedResponse);
        if (!accepted) {
            continue;
        }
        ASSERT_EQ(packet.getSlot(), bytes[3]);
        ASSERT_EQ(packet.isError(), errorFrame);
        if (errorFrame) {
            ASSERT_EQ(packet.getError(), code2);
            continue;
        }
        ASSERT_EQ(static_cast<uint8_t>(packet.getCommand()), code2);
        if (bytes.size() > 4) {
            ASSERT_EQ(packet.getPayload(), Bytes(bytes.begin() + 4, bytes.end()));
            // A parsed frame writes back to the same bytes.
            ASSERT_EQ(packet.toBytes(bytes[1]), bytes);
        }
    }
}

} // namespace
