#include "Crc32.h"
#include "Md5.h"

#include <gtest/gtest.h>

#include <string>

using boardsim::Bytes;
using boardsim::Crc32;
using boardsim::Md5;

namespace {

Bytes bytesOf(std::string const& text) {
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(Crc32, matchesTheCheckValues) {
    struct Case {
        char const* text;
        uint32_t upload;
        uint32_t standard;
    };
    const Case cases[] = {
        {"", 0xFFFFFFFF, 0x00000000},
        {"abc", 0x359A672F, 0x352441C2},
        {"123456789", 0xD202D277, 0xCBF43926},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(Crc32::upload(bytesOf(c.text)), c.upload) << c.text;
        EXPECT_EQ(Crc32::standard(bytesOf(c.text)), c.standard) << c.text;
    }
}

TEST(Crc32, updateContinuesAcrossChunks) {
    const uint32_t whole = Crc32::update(0, bytesOf("123456789"));
    EXPECT_EQ(Crc32::update(Crc32::update(0, bytesOf("1234")), bytesOf("56789")), whole);
}

TEST(Md5, matchesTheReferenceDigests) {
    EXPECT_EQ(Md5::hex(bytesOf("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5::hex(bytesOf("abc")), "900150983cd24fb0d6963f7d28e17f72");
    auto const digest = Md5::digest(bytesOf("abc"));
    EXPECT_EQ(digest[0], 0x90);
    EXPECT_EQ(digest[15], 0x72);
}
