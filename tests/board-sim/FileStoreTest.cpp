#include "FileStore.h"
#include "LittleEndian.h"
#include "Md5.h"
#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <string>

using boardsim::Answer;
using boardsim::Behaviour;
using boardsim::Bytes;
using boardsim::FileStore;
using boardsim::LittleEndian;

namespace {

Bytes cat(Bytes a, Bytes const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes openRequest(std::string const& name) {
    return cat(cat({0}, text(name)), {0});
}

Bytes writeHeader(uint8_t h, uint32_t length, uint16_t count) {
    Bytes p{1, h, 0, 0};
    LittleEndian::put32(p, length);
    LittleEndian::put16(p, count);
    return p;
}

Bytes writeSegment(uint8_t h, uint16_t k, Bytes const& data) {
    Bytes p{1, h};
    LittleEndian::put16(p, k);
    return cat(p, data);
}

Bytes readSegment(uint8_t h, uint16_t k) {
    Bytes p{2, h};
    LittleEndian::put16(p, k);
    return p;
}

// The store with "a.txt" (handle 1, content "abc") opened.
struct Store {
    Store() : files({{"a.txt", text("abc")}}) {
        EXPECT_EQ(ask(openRequest("a.txt")), (Bytes{0, 0, 1}));
    }
    Bytes ask(Bytes const& payload) {
        Answer a = files.handle(payload, behaviour, legacyChecksum);
        return a.error ? Bytes{0xEE, *a.error} : a.payload;
    }
    FileStore files;
    Behaviour behaviour;
    bool legacyChecksum = false;
};

struct ErrorCase {
    char const* name;
    Bytes payload;
    Bytes reply; // result bytes, or EE and the bus error byte
};

class FileErrorTest : public ::testing::TestWithParam<ErrorCase> {};

} // namespace

TEST_P(FileErrorTest, refuses) {
    Store s;
    EXPECT_EQ(boardsim::Frame::hex(s.ask(GetParam().payload)),
              boardsim::Frame::hex(GetParam().reply));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, FileErrorTest, ::testing::Values(
    ErrorCase{"open_without_terminator", {0, 'a'}, {0x82, 0}},
    ErrorCase{"open_terminator_not_last", {0, 'a', 0, 'b', 0}, {0x82, 0}},
    ErrorCase{"open_empty_name", {0, 0}, {0x82, 0}},
    ErrorCase{"open_name_too_long", openRequest(std::string(65, 'n')), {0x82, 0}},
    ErrorCase{"open_name_with_slash", openRequest("a/b"), {0x82, 0}},
    ErrorCase{"write_header_unknown_handle", writeHeader(9, 3, 1), {0x84, 0}},
    ErrorCase{"write_header_wrong_count", writeHeader(1, 129, 1), {0x83, 0}},
    ErrorCase{"write_header_too_large", writeHeader(1, 8 * 1024 * 1024 + 1, 1), {0x87, 0}},
    ErrorCase{"write_header_count_beyond_16_bits", writeHeader(1, 8388481, 1), {0x83, 0}},
    ErrorCase{"write_segment_without_header", writeSegment(1, 1, text("x")), {0x85, 0}},
    ErrorCase{"read_segment_without_header", readSegment(1, 1), {0x85, 0}},
    ErrorCase{"read_header_unknown_handle", readSegment(7, 0), {0x84, 0}},
    ErrorCase{"delete_unknown_handle", {3, 7}, {0x84, 0}},
    ErrorCase{"checksum_unknown_handle", {4, 7}, {0x84, 0}},
    ErrorCase{"short_delete", {3}, {0x81, 0}},
    ErrorCase{"short_write", {1, 1, 0}, {0x81, 0}},
    ErrorCase{"unknown_sub", {5, 1}, {0xEE, 0x86}}),
    [](const ::testing::TestParamInfo<ErrorCase>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

TEST(FileStore, writesReadsAndChecksumsAFile) {
    Store s;
    ASSERT_EQ(s.ask(openRequest("b.bin")), (Bytes{0, 0, 2}));
    const Bytes content = cat(Bytes(128, 0x5A), {0x7E});
    EXPECT_EQ(s.ask(writeHeader(2, 129, 2)), (Bytes{0, 0}));
    EXPECT_EQ(s.ask(writeSegment(2, 1, Bytes(128, 0x5A))), (Bytes{0, 0}));
    EXPECT_FALSE(s.files.get("b.bin")) << "nothing is stored before the last segment";
    EXPECT_EQ(s.ask(writeSegment(2, 2, {0x7E})), (Bytes{1, 0}));
    EXPECT_EQ(s.files.get("b.bin"), content);

    EXPECT_EQ(s.ask(readSegment(2, 0)), (Bytes{0, 0, 129, 0, 0, 0, 2, 0}));
    EXPECT_EQ(s.ask(readSegment(2, 1)), cat({0, 0}, Bytes(128, 0x5A)));
    EXPECT_EQ(s.ask(readSegment(2, 2)), (Bytes{1, 0, 0x7E}));
    EXPECT_EQ(s.ask(readSegment(2, 3)), (Bytes{0x85, 0}));

    auto const md5 = boardsim::Md5::digest(content);
    EXPECT_EQ(s.ask({4, 2}), cat({0, 0, 129, 0, 0, 0}, Bytes(md5.begin(), md5.end())));
}

TEST(FileStore, segmentErrorsKeepTheWriteGoing) {
    Store s;
    ASSERT_EQ(s.ask(writeHeader(1, 200, 2)), (Bytes{0, 0}));
    EXPECT_EQ(s.ask(writeSegment(1, 2, Bytes(72, 1))), (Bytes{0x85, 0})) << "out of order";
    EXPECT_EQ(s.ask(writeSegment(1, 1, Bytes(127, 1))), (Bytes{0x83, 0})) << "short segment";
    EXPECT_EQ(s.ask(writeSegment(1, 1, Bytes(128, 1))), (Bytes{0, 0}));
    EXPECT_EQ(s.ask(writeSegment(1, 2, Bytes(73, 1))), (Bytes{0x83, 0})) << "long last segment";
    EXPECT_EQ(s.ask(writeSegment(1, 2, Bytes(72, 1))), (Bytes{1, 0}));
    EXPECT_EQ(s.files.get("a.txt")->size(), 200u);
}

TEST(FileStore, aNewHeaderRestartsTheWrite) {
    Store s;
    ASSERT_EQ(s.ask(writeHeader(1, 129, 2)), (Bytes{0, 0}));
    ASSERT_EQ(s.ask(writeSegment(1, 1, Bytes(128, 1))), (Bytes{0, 0}));
    ASSERT_EQ(s.ask(writeHeader(1, 2, 1)), (Bytes{0, 0}));
    EXPECT_EQ(s.ask(writeSegment(1, 1, text("hi"))), (Bytes{1, 0}));
    EXPECT_EQ(s.files.get("a.txt"), text("hi"));
}

TEST(FileStore, anEmptyWriteCommitsAtOnce) {
    Store s;
    EXPECT_EQ(s.ask(writeHeader(1, 0, 0)), (Bytes{0, 0}));
    EXPECT_EQ(s.files.get("a.txt"), Bytes{});
}

TEST(FileStore, handlesAreStablePerNameAndNeverZero) {
    Store s;
    EXPECT_EQ(s.ask(openRequest("a.txt")), (Bytes{0, 0, 1}));
    EXPECT_EQ(s.ask(openRequest("new")), (Bytes{0, 0, 2}));
    EXPECT_EQ(s.ask(openRequest("a.txt")), (Bytes{0, 0, 1}));
    EXPECT_EQ(s.ask({3, 1}), (Bytes{0, 0}));
    EXPECT_EQ(s.ask({3, 1}), (Bytes{0x40, 0})) << "already deleted";
    EXPECT_EQ(s.ask(readSegment(1, 0)), (Bytes{0x40, 0}));
    EXPECT_EQ(s.ask({4, 1}), (Bytes{0x40, 0}));
    EXPECT_EQ(s.ask(openRequest("a.txt")), (Bytes{0, 0, 1}));
}

TEST(FileStore, boardChoicesChangeTheAnswers) {
    Store s;
    s.behaviour.openMissing = boardsim::OpenMissing::NotFound;
    EXPECT_EQ(s.ask(openRequest("missing")), (Bytes{0x40, 0}));
    s.behaviour.lastWriteResult = 0;
    ASSERT_EQ(s.ask(writeHeader(1, 1, 1)), (Bytes{0, 0}));
    EXPECT_EQ(s.ask(writeSegment(1, 1, {1})), (Bytes{0, 0}));
    s.behaviour.lastReadResult = 0;
    ASSERT_EQ(s.ask(readSegment(1, 0)), (Bytes{0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(s.ask(readSegment(1, 1)), (Bytes{0, 0, 1}));
    s.legacyChecksum = true;
    EXPECT_EQ(s.ask({4, 1}), (Bytes{0xEE, 0x86}));
}

TEST(FileStore, aReadServesTheSnapshotOfItsHeader) {
    Store s;
    ASSERT_EQ(s.ask(readSegment(1, 0)), (Bytes{0, 0, 3, 0, 0, 0, 1, 0}));
    s.files.put("a.txt", text("changed"));
    EXPECT_EQ(s.ask(readSegment(1, 1)), cat({1, 0}, text("abc")));
}

TEST(FileTransfer, overTheBus) {
    SimFixture f;
    auto misc = [&](uint8_t seq, Bytes const& payload) {
        auto reply = f.client.exchange(request(0, seq, 5, 241, payload));
        return reply ? Bytes(reply->begin() + 4, reply->end()) : Bytes{0xFF};
    };
    ASSERT_EQ(misc(1, openRequest("abc.txt")), (Bytes{0, 0, 1}));
    ASSERT_EQ(misc(2, writeHeader(1, 3, 1)), (Bytes{0, 0}));
    ASSERT_EQ(misc(3, writeSegment(1, 1, text("abc"))), (Bytes{1, 0}));
    EXPECT_EQ(boardsim::Frame::hex(misc(4, {4, 1})),
              "00 00 03 00 00 00 90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72");
    auto const files = f.sim.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "abc.txt");
    EXPECT_EQ(files[0].size, 3u);
    EXPECT_EQ(files[0].md5, "900150983cd24fb0d6963f7d28e17f72");

    // "01 00 ..." is the disarm request: it never reaches a file.
    f.sim.setPassword("abc");
    EXPECT_EQ(misc(5, {1, 0, 0, 0, 0, 'a', 'b', 'c'}), (Bytes{1}));
    EXPECT_EQ(f.sim.file("abc.txt"), text("abc"));

    auto const log = f.sim.requests();
    EXPECT_EQ(log[2].summary, "file write seg 1/1 h=1 len=3");
    EXPECT_EQ(log[2].segment, 1);
    EXPECT_FALSE(log[4].segment);
}
