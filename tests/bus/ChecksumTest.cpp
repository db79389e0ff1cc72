#include "bus/CRC.h"
#include "bus/MD5.h"

#include <gtest/gtest.h>

#include "Crc32.h"
#include "Md5.h"
#include "support/RandomInput.h"
#include <cstring>
#include <random>
#include <string>
#include <vector>

using velt::ZRV480::Bus::Common::MD5;

namespace {

std::vector<uint8_t> bytes(std::string const& text) {
    return {text.begin(), text.end()};
}

TEST(CrcTest, CheckValuesOfEachVariant) {
    struct Case {
        std::string input;
        uint32_t crc32;
        uint16_t crc16;
        uint8_t crc8;
    };
    const Case cases[] = {
        {"123456789", 0xCBF43926, 0x2189, 0xA1},
        {"abc", 0x352441C2, 0x58E9, 0x42},
        {"", 0, 0, 0},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(CRC::CRC32_update(0, bytes(c.input)), c.crc32) << c.input;
        EXPECT_EQ(CRC::CRC16_update(0, bytes(c.input)), c.crc16) << c.input;
        EXPECT_EQ(CRC::CRC8_update(0, bytes(c.input)), c.crc8) << c.input;
    }
}

TEST(CrcTest, Crc32TableIsTheReflectedStandardTable) {
    EXPECT_EQ(CRC::crc32_table[0], 0u);
    EXPECT_EQ(CRC::crc32_table[1], 0x77073096u);
    EXPECT_EQ(CRC::crc32_table[128], 0xEDB88320u);
    EXPECT_EQ(CRC::crc32_table[255], 0x2D02EF8Du);
}

TEST(CrcTest, Crc32ChainsAcrossCalls) {
    EXPECT_EQ(CRC::CRC32_update(CRC::CRC32_update(0, bytes("1234")), bytes("56789")),
              CRC::CRC32_update(0, bytes("123456789")));
}

// The firmware upload starts its CRC from all ones, which begins with a zero
// register and so is not the zlib value.
TEST(CrcTest, Crc32FromAllOnesAsTheUploadUsesIt) {
    EXPECT_EQ(CRC::CRC32_update(0xFFFFFFFF, {}), 0xFFFFFFFFu);
    EXPECT_EQ(CRC::CRC32_update(0xFFFFFFFF, bytes("123456789")), 0xD202D277u);
    EXPECT_EQ(CRC::CRC32_update(0xFFFFFFFF, bytes("abc")), 0x359A672Fu);
}

TEST(CrcTest, EmptyInputKeepsTheStartValue) {
    EXPECT_EQ(CRC::CRC32_update(0x12345678, {}), 0x12345678u);
    EXPECT_EQ(CRC::CRC16_update(0xBEEF, {}), 0xBEEF);
    EXPECT_EQ(CRC::CRC8_update(0x5A, {}), 0x5A);
}

// RFC 1321, appendix A.5.
TEST(Md5Test, ReferenceSuite) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto const& [input, digest] : cases) {
        EXPECT_EQ(MD5::toString(MD5::calculate(input)), digest) << input;
        EXPECT_EQ(MD5::calculate(bytes(input)), MD5::calculate(input)) << input;
    }
}

// Lengths around the 56-byte padding boundary and the 64-byte block edge
// take different padding paths; incremental updates must give the one-shot
// digest however the input is split.
TEST(Md5Test, SplitUpdatesMatchOneShot) {
    for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 200u}) {
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        const MD5::Digest expected = MD5::calculate(data);
        for (size_t split : {size_t(1), size_t(13), length / 2, length - 1}) {
            MD5Context context{};
            MD5::Digest digest{};
            MD5_init(&context);
            MD5_update(&context, data.data(), static_cast<uint32_t>(split));
            MD5_update(&context, data.data() + split, static_cast<uint32_t>(length - split));
            MD5_finish(&context, digest.data());
            EXPECT_EQ(digest, expected) << length << "/" << split;
        }
    }
}

TEST(Md5Test, FinishWipesTheContext) {
    MD5Context context{};
    uint8_t digest[16];
    MD5_init(&context);
    MD5_update(&context, reinterpret_cast<uint8_t const*>("abc"), 3);
    MD5_finish(&context, digest);
    const MD5Context zero{};
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof(context)), 0);
}

TEST(Md5Test, ToStringZeroPadsEveryByte) {
    MD5::Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(MD5::toString(digest), "000102030405060708090a0b0c0d0e0f");
}

using bustest::below;
using bustest::Budget;
using bustest::Bytes;
using bustest::randomBytes;
using namespace std::chrono_literals;

// ------------------------------------------------------------ checksums

// Our MD5 and CRC-32 against the simulator's (OpenSSL's MD5, a bitwise
// CRC): every length around the 64-byte block edges, fed whole and in pieces.
TEST(ChecksumTest, AgreeWithAnIndependentImplementation) {
    std::mt19937 random(99);
    Budget budget(3000ms);
    for (size_t length = 0; length < 700 && !budget.spent(); ++length) {
        Bytes const data = randomBytes(random, length);
        size_t const cut = below(random, length + 1);
        Bytes const head(data.begin(), data.begin() + cut), tail(data.begin() + cut, data.end());
        SCOPED_TRACE(::testing::Message() << length << " bytes cut at " << cut);

        ASSERT_EQ(MD5::calculate(data), boardsim::Md5::digest(data));
        MD5Context context;
        MD5_init(&context);
        MD5_update(&context, head.data(), static_cast<uint32_t>(head.size()));
        MD5_update(&context, tail.data(), static_cast<uint32_t>(tail.size()));
        MD5::Digest pieces{};
        MD5_finish(&context, pieces.data());
        ASSERT_EQ(pieces, boardsim::Md5::digest(data));

        ASSERT_EQ(CRC::CRC32_update(0, data), boardsim::Crc32::standard(data));
        ASSERT_EQ(CRC::CRC32_update(0xFFFFFFFF, data), boardsim::Crc32::upload(data));
        ASSERT_EQ(CRC::CRC32_update(CRC::CRC32_update(0, head), tail), CRC::CRC32_update(0, data));
    }
}

} // namespace
