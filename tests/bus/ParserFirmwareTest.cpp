#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include <gmock/gmock.h>

#include <thread>
#include <utility>

namespace bustest {
namespace {

using Command = Packet::Command;

constexpr uint8_t BootloaderSlot = 240;

Bytes image(size_t size) {
    return counting(size, 3);
}

class ParserFirmwareTest : public CommandsBus {
protected:
    void SetUp() override {
        CommandsBus::SetUp();
        parser.firmwareUpgradeProgress.connect(
            [this](uint8_t address, float percent) { progress.emplace_back(address, percent); });
    }

    // A rule for the upload segment `segment` (0: the header) to `address`.
    int onUpload(uint8_t address, std::optional<uint16_t> segment, boardsim::Action const& action,
                 uint32_t nth = 0) {
        return onSegment(address, BootloaderSlot, 0, segment, action, nth);
    }

    // Written by the thread that runs the upload, read after it ended.
    std::vector<std::pair<uint8_t, float>> progress;
};

TEST_F(ParserFirmwareTest, ImageIsSentBehindAHeaderWithItsLengthCrcAndCount) {
    Bytes const data = image(300);
    EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Psu, data, 1), ErrorCode::Success);
    ASSERT_TRUE(sim.pendingFirmware(Psu).has_value());
    EXPECT_EQ(*sim.pendingFirmware(Psu), data);
    std::vector<boardsim::RequestRecord> const got = requests(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].slot, BootloaderSlot);
    EXPECT_EQ(Bytes(got[0].payload.begin(), got[0].payload.begin() + 7),
              (Bytes{0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Bytes(got[0].payload.end() - 2, got[0].payload.end()), (Bytes{0x03, 0x00}));
    size_t const sizes[] = {128, 128, 44};
    for (size_t k = 1; k <= 3; ++k) {
        Bytes expected{0x00, static_cast<uint8_t>(k), 0x00};
        expected.insert(expected.end(), data.begin() + (k - 1) * 128,
                        data.begin() + (k - 1) * 128 + sizes[k - 1]);
        EXPECT_EQ(got[k].payload, expected);
    }
    using Step = std::pair<uint8_t, float>;
    EXPECT_EQ(progress, (std::vector<Step>{{Psu, 33.333336f}, {Psu, 66.66667f}, {Psu, 100.0f}}));
}

// The bootloader's CRC starts from a zero register: "abc" gives 0x359A672F,
// an empty image 0xFFFFFFFF.
TEST_F(ParserFirmwareTest, UploadLogsEverySegment) {
    onUpload(Psu, 2, boardsim::Action::withResult(0x84));
    testsupport::LogCapture log;
    EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Psu, image(300), 0), ErrorCode::OtaXFERError);
    EXPECT_THAT(log.lines("[Parser] Firmware"),
                testing::ElementsAre("[Parser] Firmware psu segment 0/3 : Success",
                                     "[Parser] Firmware psu segment 1/3 : Success",
                                     "[Parser] Firmware psu segment 2/3 : OtaXFERError"));
}

TEST_F(ParserFirmwareTest, HeaderCarriesTheBootloadersCrc) {
    struct Case {
        Bytes image;
        Bytes header;
    };
    Case const cases[] = {
        {{'a', 'b', 'c'}, {0x00, 0x00, 0x00, 0x03, 0, 0, 0, 0x2F, 0x67, 0x9A, 0x35, 0x01, 0x00}},
        {{}, {0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.image.size());
        progress.clear();
        EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Psu, c.image, 0), ErrorCode::Success);
        std::vector<boardsim::RequestRecord> const got = requests(1 + (c.image.empty() ? 0 : 1));
        EXPECT_EQ(got.at(0).payload, c.header);
        EXPECT_EQ(progress.empty(), c.image.empty());
        forgetRequests(got.size());
    }
    // The simulator checked the CRC of "abc" and committed it.
    EXPECT_EQ(sim.pendingFirmware(Psu), (Bytes{'a', 'b', 'c'}));
}

TEST_F(ParserFirmwareTest, UploadEndsOnTheFirstRefusedSegment) {
    struct Case {
        char const* name;
        uint16_t segment;
        boardsim::Action action;
        ErrorCode expected;
        size_t sent; // requests, header included
    };
    Case const cases[] = {
        {"header commit", 0, boardsim::Action::withResult(1), ErrorCode::OtaCommit, 1},
        {"segment commit accepted", 1, boardsim::Action::withResult(1), ErrorCode::Success, 4},
        {"crc refused", 3, boardsim::Action::withResult(0x84), ErrorCode::OtaXFERError, 4},
        {"storage refused", 1, boardsim::Action::withResult(0x85), ErrorCode::OtaStorageError, 2},
        {"result unknown", 2, boardsim::Action::withResult(-128), ErrorCode::MalformedResponse, 3},
        {"reply of one byte", 0, boardsim::Action::truncated(1), ErrorCode::MalformedResponse, 1},
        {"bus error", 1, boardsim::Action::errorReply(0x86), ErrorCode::BusInvalidValue, 2},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        onUpload(Psu, c.segment, c.action);
        EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Psu, image(300), 2), c.expected);
        forgetRequests(c.sent);
    }
}

// A BusTimeout from the main board leaves it online, so the next pass
// starts at once from the header.
TEST_F(ParserFirmwareTest, TimedOutSegmentRestartsTheUploadFromTheHeader) {
    onUpload(Main, 2, boardsim::Action::errorReply(0x82), 1);
    testsupport::LogCapture log;
    Bytes const data = image(300);
    EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Main, data, 1), ErrorCode::Success);
    EXPECT_EQ(sim.pendingFirmware(Main), data);
    EXPECT_EQ(log.count("Got Timeout, re-trying upgrade..."), 1u);
    EXPECT_EQ(segmentRequests(Main, BootloaderSlot, 0, 0), 2u);
}

TEST_F(ParserFirmwareTest, PassesAreBoundedByTheAttempts) {
    for (int attempts : {0, 1, 255}) {
        SCOPED_TRACE(attempts);
        sim.clearRules();
        onUpload(Main, 0, boardsim::Action::errorReply(0x82));
        testsupport::LogCapture log;
        EXPECT_EQ(
            parser.boardOtaFirmwareUpgradeExecute(Main, image(10), static_cast<uint8_t>(attempts)),
            ErrorCode::Timeout);
        EXPECT_EQ(log.count("Got Timeout, re-trying upgrade..."), static_cast<size_t>(attempts));
        EXPECT_EQ(log.count("Too many timeouts, stopping attempts!"), 1u);
        EXPECT_EQ(requests(attempts + 1).size(), static_cast<size_t>(attempts + 1));
        forgetRequests(attempts + 1);
    }
}

// Every upload request waits 5000 ms, whatever the default says, and is sent
// once: a late error reply that a retried request would repeat ends the
// upload with that error after a single request.
TEST_F(ParserFirmwareTest, RequestsWaitTheirOwnTimeOutAndAreNeverRepeated) {
    for (uint16_t segment : {0, 2}) {
        SCOPED_TRACE(segment);
        sim.clearRules();
        sim.clearRequests();
        onUpload(Main, segment, lateGeneralError());
        EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Main, image(300), 2),
                  ErrorCode::BusGeneralError);
        EXPECT_EQ(segmentRequests(Main, BootloaderSlot, 0, segment), 1u);
    }
}

TEST_F(ParserFirmwareTest, SecondUploadIsRefusedWhileOneRuns) {
    onUpload(Psu, 0, boardsim::Action::held());
    ErrorCode first = ErrorCode::Timeout;
    std::thread upload([&] { first = parser.boardOtaFirmwareUpgradeExecute(Psu, image(10), 0); });
    ASSERT_TRUE(sim.waitFor({Psu, 5, BootloaderSlot, 0, 0}, 1, WaitMs));
    EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Light, image(10), 0), ErrorCode::OtaLimit);
    EXPECT_EQ(sim.requests().size(), 1u);
    releaseHeld(1);
    upload.join();
    EXPECT_EQ(first, ErrorCode::Success);
}

TEST_F(ParserFirmwareTest, ImageBeyondTheSegmentCountIsRefusedUnsent) {
    EXPECT_EQ(parser.boardOtaFirmwareUpgradeExecute(Psu, Bytes(65535 * 128 + 1), 0),
              ErrorCode::InvalidParameter);
    EXPECT_TRUE(sim.requests().empty());
}

} // namespace
} // namespace bustest
