#include "bus/Helpers.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using velt::ZRV480::Bus::Common::Helpers;

namespace {

TEST(HexStrTest, EmptyDataGivesEmptyText) {
    EXPECT_EQ(Helpers::hexStr(std::vector<uint8_t>{}, true), "");
    EXPECT_EQ(Helpers::hexStr(std::vector<uint8_t>{}, false), "");
}

TEST(HexStrTest, TwoLowerCaseZeroFilledDigitsPerByte) {
    const std::vector<uint8_t> bytes{0x01, 0xAB, 0x0A, 0xFF, 0x00};
    EXPECT_EQ(Helpers::hexStr(bytes, true), "01 ab 0a ff 00 ");
    EXPECT_EQ(Helpers::hexStr(bytes, false), "01ab0aff00");
}

TEST(HexStrTest, DigestArraySpaced) {
    std::array<uint8_t, 16> digest{};
    for (size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<uint8_t>(i);
    }
    const std::string text = Helpers::hexStr(digest, true);
    EXPECT_EQ(text, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ");
    EXPECT_EQ(text.size(), 48u);
}

} // namespace
