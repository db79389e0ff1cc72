#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include <gmock/gmock.h>

#include "bus/MD5.h"

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace bustest {
namespace {

using velt::ZRV480::Bus::Common::MD5;
using Command = Packet::Command;

constexpr uint8_t FileSlot = 241;
constexpr uint8_t OpenSub = 0;
constexpr uint8_t WriteSub = 1;
constexpr uint8_t ReadSub = 2;
constexpr uint8_t ChecksumSub = 4;

Bytes pattern(size_t size) {
    return counting(size, 7);
}

// The four file operations on "f.bin", for tables of cases; what a receive
// or a checksum reads is dropped.
using Operation = std::function<ErrorCode(Parser&)>;
Operation const transmitOne = [](Parser& p) { return p.mainFileTransmit("f.bin", {1}, true); };
Operation const receiveAll = [](Parser& p) {
    Bytes data;
    return p.mainFileReceive("f.bin", data);
};
Operation const deleteFile = [](Parser& p) { return p.mainFileDelete("f.bin"); };
Operation const checksumFile = [](Parser& p) {
    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    return p.mainFileChecksum("f.bin", size, md5);
};

class ParserFilesTest : public CommandsBus {
protected:
    void SetUp() override {
        CommandsBus::SetUp();
        parser.fileTransmitProgress.connect(
            [this](float percent) { sentProgress.push_back(percent); });
        parser.fileReceiveProgress.connect(
            [this](float percent) { receivedProgress.push_back(percent); });
    }

    // A rule for the file requests of `sub` (and of segment `segment`).
    int onFile(uint8_t sub, boardsim::Action const& action, std::optional<uint16_t> segment = {},
               uint32_t nth = 0) {
        return onSegment(Main, FileSlot, sub, segment, action, nth);
    }

    size_t fileRequests(uint8_t sub, std::optional<uint16_t> segment = {}) const {
        return segmentRequests(Main, FileSlot, sub, segment);
    }

    // Written by the thread that runs the transfer, read after it ended.
    std::vector<float> sentProgress;
    std::vector<float> receivedProgress;
};

TEST_F(ParserFilesTest, FileIsWrittenChecksummedReadBackAndDeleted) {
    Bytes const data = pattern(300);
    EXPECT_EQ(parser.mainFileTransmit("notes.txt", data, true), ErrorCode::Success);
    EXPECT_EQ(sim.file("notes.txt"), data);

    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    EXPECT_EQ(parser.mainFileChecksum("notes.txt", size, md5), ErrorCode::Success);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(md5, MD5::calculate(data));

    Bytes read{0xAA};
    EXPECT_EQ(parser.mainFileReceive("notes.txt", read), ErrorCode::Success);
    EXPECT_EQ(read, data);

    EXPECT_EQ(parser.mainFileDelete("notes.txt"), ErrorCode::Success);
    EXPECT_FALSE(sim.file("notes.txt").has_value());
    EXPECT_EQ(parser.mainFileChecksum("notes.txt", size, md5), ErrorCode::FileNotFound);
    EXPECT_EQ(size, 300u);
}

TEST_F(ParserFilesTest, ChecksumIsTheMd5OfTheFile) {
    sim.putFile("abc.txt", {'a', 'b', 'c'});
    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    EXPECT_EQ(parser.mainFileChecksum("abc.txt", size, md5), ErrorCode::Success);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(MD5::toString(md5), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(ParserFilesTest, TransmitSendsAHeaderThenSegmentsOfAtMost128Bytes) {
    struct Case {
        size_t size;
        std::vector<size_t> segments;
        std::vector<float> progress;
    };
    Case const cases[] = {
        {0, {}, {}},
        {128, {128}, {100.0f}},
        {129, {128, 1}, {50.0f, 100.0f}},
        {300, {128, 128, 44}, {33.333336f, 66.66667f, 100.0f}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.size);
        sentProgress.clear();
        Bytes const data = pattern(c.size);
        EXPECT_EQ(parser.mainFileTransmit("f.bin", data, true), ErrorCode::Success);
        EXPECT_EQ(sim.file("f.bin"), data);
        EXPECT_EQ(sentProgress, c.progress);
        std::vector<boardsim::RequestRecord> const got = requests(2 + c.segments.size());
        ASSERT_EQ(got.size(), 2 + c.segments.size());
        EXPECT_EQ(got[0].payload, (Bytes{OpenSub, 'f', '.', 'b', 'i', 'n', 0}));
        uint8_t const handle = got[1].payload.at(1);
        uint16_t const count = static_cast<uint16_t>(c.segments.size());
        EXPECT_EQ(got[1].payload,
                  (Bytes{WriteSub, handle, 0, 0, static_cast<uint8_t>(c.size),
                         static_cast<uint8_t>(c.size >> 8), 0, 0, static_cast<uint8_t>(count), 0}));
        size_t offset = 0;
        for (size_t k = 1; k <= c.segments.size(); ++k) {
            Bytes expected{WriteSub, handle, static_cast<uint8_t>(k), 0};
            expected.insert(expected.end(), data.begin() + offset,
                            data.begin() + offset + c.segments[k - 1]);
            EXPECT_EQ(got[1 + k].payload, expected);
            offset += c.segments[k - 1];
        }
        forgetRequests(got.size());
    }
}

TEST_F(ParserFilesTest, ReceiveReadsEverySegmentAndReportsProgress) {
    Bytes const data = pattern(129);
    sim.putFile("f.bin", data);
    Bytes read;
    EXPECT_EQ(parser.mainFileReceive("f.bin", read), ErrorCode::Success);
    EXPECT_EQ(read, data);
    EXPECT_EQ(receivedProgress, (std::vector<float>{50.0f, 100.0f}));
    requests(4); // open, header and two segments
    EXPECT_EQ(fileRequests(ReadSub, 0), 1u);
    EXPECT_EQ(fileRequests(ReadSub, 2), 1u);

    sim.putFile("empty.bin", {});
    read = {1, 2, 3};
    receivedProgress.clear();
    EXPECT_EQ(parser.mainFileReceive("empty.bin", read), ErrorCode::Success);
    EXPECT_TRUE(read.empty());
    EXPECT_TRUE(receivedProgress.empty());
}

// The result at the head of each reply: FileDone is accepted for a data
// segment only; any other failure ends the transfer.
TEST_F(ParserFilesTest, TransferEndsOnTheFirstRefusedSegment) {
    struct Case {
        char const* name;
        uint8_t sub;
        uint16_t segment;
        int16_t result;
        ErrorCode expected;
        size_t segmentsSent; // data segments after the header
    };
    Case const cases[] = {
        {"write header done", WriteSub, 0, 1, ErrorCode::FileDone, 0},
        {"write segment done", WriteSub, 1, 1, ErrorCode::Success, 3},
        {"write segment refused", WriteSub, 2, 0x86, ErrorCode::FileXFERError, 2},
        {"write result unknown", WriteSub, 1, 2, ErrorCode::MalformedResponse, 1},
        {"read header done", ReadSub, 0, 1, ErrorCode::FileDone, 0},
        {"read segment refused", ReadSub, 1, 0x85, ErrorCode::FileSequenceError, 1},
    };
    sim.putFile("f.bin", pattern(300));
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        onFile(c.sub, boardsim::Action::withResult(c.result), c.segment);
        Bytes data = pattern(300);
        ErrorCode const result = c.sub == WriteSub ? parser.mainFileTransmit("f.bin", data, true)
                                                   : parser.mainFileReceive("f.bin", data);
        EXPECT_EQ(result, c.expected);
        requests(2 + c.segmentsSent);
        EXPECT_EQ(fileRequests(c.sub), 1 + c.segmentsSent);
    }
}

// A BusTimeout from the main board leaves the bus online, so the next pass
// starts at once from the header.
TEST_F(ParserFilesTest, TimedOutSegmentRestartsTheTransferFromTheHeader) {
    onFile(WriteSub, boardsim::Action::errorReply(0x82), 2, 1);
    onFile(ReadSub, boardsim::Action::errorReply(0x82), 2, 1);
    testsupport::LogCapture log;
    Bytes const data = pattern(300);
    EXPECT_EQ(parser.mainFileTransmit("f.bin", data, true), ErrorCode::Success);
    EXPECT_EQ(sim.file("f.bin"), data);
    Bytes read;
    EXPECT_EQ(parser.mainFileReceive("f.bin", read), ErrorCode::Success);
    EXPECT_EQ(read, data);
    EXPECT_EQ(log.count("Got Timeout, re-trying transmission..."), 2u);
    EXPECT_EQ(fileRequests(OpenSub), 2u); // the file is not opened again
    EXPECT_EQ(fileRequests(WriteSub, 0), 2u);
    EXPECT_EQ(fileRequests(ReadSub, 0), 2u);
    EXPECT_EQ(sentProgress, (std::vector<float>{33.333336f, 33.333336f, 66.66667f, 100.0f}));
}

TEST_F(ParserFilesTest, PassesAreBoundedByTheRetransmissions) {
    for (uint64_t retransmit : {uint64_t{0}, uint64_t{2}, uint64_t{300}}) {
        SCOPED_TRACE(retransmit);
        sim.clearRules();
        parser.configSet({TimeoutMs, retransmit});
        onFile(WriteSub, boardsim::Action::errorReply(0x82), 0);
        testsupport::LogCapture log;
        EXPECT_EQ(parser.mainFileTransmit("f.bin", pattern(10), true), ErrorCode::Timeout);
        EXPECT_EQ(log.count("Got Timeout, re-trying transmission..."), retransmit);
        EXPECT_EQ(log.count("Too many timeouts, stopping transmission!"), 1u);
        forgetRequests(retransmit + 2);
    }
}

// The one test that waits out a real 5000 ms silence: the time-out takes the
// bus offline, so the passes left are spent without traffic.
TEST_F(ParserFilesTest, SilentSegmentTimesOutAfterFiveSecondsWithoutRetry) {
    onFile(WriteSub, boardsim::Action::dropReply(), 1);
    testsupport::LogCapture log;
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(parser.mainFileTransmit("f.bin", pattern(300), true), ErrorCode::Timeout);
    auto const elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(5000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(7000));
    EXPECT_EQ(fileRequests(WriteSub, 1), 1u);
    EXPECT_EQ(fileRequests(WriteSub, 0), 1u);
    EXPECT_EQ(log.count("Dropping request to main: bus offline"), 2u);
    EXPECT_EQ(log.count("Too many timeouts, stopping transmission!"), 1u);
}

// A stop ends the transfer at once, without the passes a time-out would
// restart and without their warnings.
TEST_F(ParserFilesTest, StopEndsATransferAtOnce) {
    onFile(WriteSub, boardsim::Action::dropReply(), 1);
    testsupport::LogCapture log;
    auto transfer = std::async(std::launch::async, [this] {
        ErrorCode const result = parser.mainFileTransmit("f.bin", pattern(300), true);
        return std::make_pair(result, std::chrono::steady_clock::now());
    });
    ASSERT_TRUE(sim.waitFor({Main, uint8_t(Command::Misc), FileSlot, WriteSub, 1}, 1, WaitMs));
    auto const stop = std::chrono::steady_clock::now();
    parser.stop();
    auto const [result, ended] = transfer.get();
    EXPECT_EQ(result, ErrorCode::Timeout);
    EXPECT_LT(ended - stop, std::chrono::milliseconds(100));
    EXPECT_EQ(log.count("timeouts, stopping transmission"), 0u);
    EXPECT_EQ(log.count("re-trying transmission"), 0u);
    EXPECT_EQ(log.count("Setting bus offline"), 0u);
}

// Every file request waits 5000 ms, whatever the default says, and is sent
// once: a late error reply that a retried request would repeat ends the
// operation with that error after a single request.
TEST_F(ParserFilesTest, RequestsWaitTheirOwnTimeOutAndAreNeverRepeated) {
    struct Case {
        char const* name;
        uint8_t sub;
        std::optional<uint16_t> segment;
        Operation call;
    };
    Case const cases[] = {
        {"open", OpenSub, {}, deleteFile},           {"write header", WriteSub, 0, transmitOne},
        {"write segment", WriteSub, 1, transmitOne}, {"read header", ReadSub, 0, receiveAll},
        {"read segment", ReadSub, 2, receiveAll},    {"delete", 3, {}, deleteFile},
        {"checksum", ChecksumSub, {}, checksumFile},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        sim.putFile("f.bin", pattern(300));
        onFile(c.sub, lateGeneralError(), c.segment);
        EXPECT_EQ(c.call(parser), ErrorCode::BusGeneralError);
        EXPECT_EQ(fileRequests(c.sub, c.segment), 1u);
    }
}

// Each of the four operations holds the file lock for its whole run.
TEST_F(ParserFilesTest, OtherFileOperationsAreRefusedWhileOneRuns) {
    struct Case {
        char const* name;
        Operation running;
        uint8_t heldSub; // the request after the open whose reply is held
    };
    Case const cases[] = {
        {"transmit", transmitOne, WriteSub},
        {"receive", receiveAll, ReadSub},
        {"delete", deleteFile, 3},
        {"checksum", checksumFile, ChecksumSub},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.putFile("f.bin", {1});
        onFile(c.heldSub, boardsim::Action::held(), {}, 1);
        ErrorCode result = ErrorCode::Timeout;
        std::thread running([&] { result = c.running(parser); });
        EXPECT_TRUE(sim.waitFor({Main, 5, FileSlot, c.heldSub}, 1, WaitMs));
        for (Operation const& other : {transmitOne, receiveAll, deleteFile, checksumFile}) {
            EXPECT_EQ(other(parser), ErrorCode::FileLimit);
        }
        EXPECT_EQ(sim.requests().size(), 2u); // the open and the held request
        releaseHeld(1);
        running.join();
        EXPECT_EQ(result, ErrorCode::Success);
        forgetRequests(c.heldSub == WriteSub ? 3 : c.heldSub == ReadSub ? 3 : 2);
    }
}

TEST_F(ParserFilesTest, SkipOpenReusesTheHandleOfTheLastOpenOfThatName) {
    testsupport::LogCapture log;
    EXPECT_EQ(parser.mainFileTransmit("never.txt", {1}, false), ErrorCode::FileNotFound);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(log.count("Skip-Open requested but file descriptor is not cached"), 1u);

    sim.putFile("a.txt", {1});
    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    EXPECT_EQ(parser.mainFileChecksum("a.txt", size, md5), ErrorCode::Success);
    sim.setOpenMissing(boardsim::OpenMissing::NotFound);
    EXPECT_EQ(parser.mainFileChecksum("missing.txt", size, md5), ErrorCode::FileNotFound);
    forgetRequests(3);
    EXPECT_EQ(parser.mainFileTransmit("b.txt", {1}, false), ErrorCode::FileNotFound);
    EXPECT_TRUE(sim.requests().empty());

    Bytes const data = pattern(200);
    EXPECT_EQ(parser.mainFileTransmit("a.txt", data, false), ErrorCode::Success);
    EXPECT_EQ(sim.file("a.txt"), data);
    EXPECT_EQ(fileRequests(OpenSub), 0u);
}

// Operators follow the file operations by these lines, word for word.
TEST_F(ParserFilesTest, OperationsLogEveryStep) {
    testsupport::LogCapture log;
    ASSERT_EQ(parser.mainFileTransmit("a.txt", pattern(200), true), ErrorCode::Success);
    ASSERT_EQ(parser.mainFileTransmit("a.txt", {9}, false), ErrorCode::Success);
    Bytes read;
    ASSERT_EQ(parser.mainFileReceive("a.txt", read), ErrorCode::Success);
    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    ASSERT_EQ(parser.mainFileChecksum("a.txt", size, md5), ErrorCode::Success);
    ASSERT_EQ(parser.mainFileDelete("a.txt"), ErrorCode::Success);
    sim.setOpenMissing(boardsim::OpenMissing::NotFound);
    EXPECT_EQ(parser.mainFileDelete("a.txt"), ErrorCode::FileNotFound);
    EXPECT_THAT(
        log.lines("[Parser] File"),
        testing::ElementsAre(
            "[Parser] File 1 segment 0/2 : Success", "[Parser] File 1 segment 1/2 : Success",
            "[Parser] File 1 segment 2/2 : FileDone",
            "[Parser] File Descriptor already open, returning known",
            "[Parser] File 1 segment 0/1 : Success", "[Parser] File 1 segment 1/1 : FileDone",
            "[Parser] File a.txt segment 0/? : Success",
            "[Parser] File a.txt segment 0/1 : Success", "[Parser] File 1 segment 1/1 : FileDone",
            "[Parser] File checksum a.txt : Success", "[Parser] File delete a.txt : Success",
            "[Parser] File Open a.txt : FileNotFound"));
}

TEST_F(ParserFilesTest, ShortOrRefusedRepliesEndTheOperation) {
    struct Case {
        char const* name;
        uint8_t sub;
        boardsim::Action action;
        Operation call;
        ErrorCode expected;
    };
    Case const cases[] = {
        {"open without a handle", OpenSub, boardsim::Action::withPayload({0, 0}), deleteFile,
         ErrorCode::MalformedResponse},
        {"open of one byte", OpenSub, boardsim::Action::withPayload({0}), deleteFile,
         ErrorCode::MalformedResponse},
        {"open refused", OpenSub, boardsim::Action::withResult(0x41), deleteFile,
         ErrorCode::FileInUse},
        {"open done", OpenSub, boardsim::Action::withResult(1), deleteFile, ErrorCode::FileDone},
        {"read header of 7 bytes", ReadSub, boardsim::Action::truncated(7), receiveAll,
         ErrorCode::MalformedResponse},
        {"checksum of 21 bytes", ChecksumSub, boardsim::Action::truncated(21), checksumFile,
         ErrorCode::MalformedResponse},
        {"checksum refused", ChecksumSub, boardsim::Action::withResult(0x88), checksumFile,
         ErrorCode::FileInternalError},
        {"checksum unknown to the board", ChecksumSub, boardsim::Action::errorReply(0x86),
         checksumFile, ErrorCode::BusInvalidValue},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.putFile("f.bin", pattern(300));
        onFile(c.sub, c.action);
        EXPECT_EQ(c.call(parser), c.expected);
    }
}

TEST_F(ParserFilesTest, NameHoldingAZeroByteIsRefusedUnsent) {
    std::string const name("a\0b", 3);
    uint32_t size = 0;
    std::array<uint8_t, 16> md5{};
    Bytes data;
    EXPECT_EQ(parser.mainFileTransmit(name, {1}, true), ErrorCode::MalformedRequest);
    EXPECT_EQ(parser.mainFileReceive(name, data), ErrorCode::MalformedRequest);
    EXPECT_EQ(parser.mainFileDelete(name), ErrorCode::MalformedRequest);
    EXPECT_EQ(parser.mainFileChecksum(name, size, md5), ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(ParserFilesTest, FileBeyondTheSegmentCountIsRefusedUnsent) {
    EXPECT_EQ(parser.mainFileTransmit("big.bin", Bytes(65535 * 128 + 1), true),
              ErrorCode::InvalidParameter);
    EXPECT_TRUE(sim.requests().empty());
}

// The largest count a header can carry: the segment loop must end.
TEST_F(ParserFilesTest, ReceiveOfTheLargestFileEnds) {
    Bytes const data = pattern(65535 * 128);
    sim.putFile("big.bin", data);
    Bytes read;
    EXPECT_EQ(parser.mainFileReceive("big.bin", read), ErrorCode::Success);
    EXPECT_EQ(read.size(), data.size());
    EXPECT_EQ(receivedProgress.size(), 65535u);
    EXPECT_EQ(receivedProgress.back(), 100.0f);
}

} // namespace
} // namespace bustest
