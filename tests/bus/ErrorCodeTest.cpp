#include "bus/ErrorCode.h"
#include "bus/Helpers.h"

#include <gtest/gtest.h>

using velt::ZRV480::Bus::Common::ec2str;
using velt::ZRV480::Bus::Common::ErrorCode;
using velt::ZRV480::Bus::Common::Helpers;

namespace {

ErrorCode code(int32_t value) {
    return static_cast<ErrorCode>(value);
}

TEST(ErrorCodeTest, NamesEveryCodeByItsEnumerator) {
    const std::pair<int32_t, char const*> cases[] = {
        {0, "Success"},
        {1, "Timeout"},
        {20, "MalformedJson"},
        {21, "MalformedRequest"},
        {22, "InvalidParameter"},
        {50, "MalformedResponse"},
        {51, "UnexpectedSequenceNumber"},
        {70, "OtaLimit"},
        {71, "FileLimit"},
        {100, "InvalidBoardVersion"},
        {101, "BusGeneralError"},
        {102, "BusTimeout"},
        {103, "BusProtocolError"},
        {104, "BusNodeError"},
        {105, "BusInvalidSlot"},
        {106, "BusInvalidValue"},
        {150, "OnBatteries"},
        {151, "OtaGeneralError"},
        {152, "OtaFormatError"},
        {153, "OtaSizeError"},
        {154, "OtaSequenceError"},
        {155, "OtaXFERError"},
        {156, "OtaCommit"},
        {157, "OtaStorageError"},
        {158, "OtaInternalError"},
        {180, "FileDone"},
        {181, "FileDescriptorError"},
        {182, "FileFormatError"},
        {183, "FileGeneralError"},
        {184, "FileInUse"},
        {185, "FileInternalError"},
        {186, "FileNameError"},
        {187, "FileNotFound"},
        {188, "FileSequenceError"},
        {189, "FileSizeError"},
        {190, "FileStorageError"},
        {191, "FileXFERError"},
    };
    for (auto const& [value, name] : cases) {
        EXPECT_EQ(ec2str(code(value)), name) << value;
    }
}

TEST(ErrorCodeTest, ValuesWithoutANameAreUnknown) {
    for (int32_t value : {2, 19, 23, 52, 72, 107, 149, 159, 179, 192, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ec2str(code(value)), "Unknown error code!") << value;
    }
}

TEST(ErrorCodeTest, OtaResultMap) {
    const std::pair<int16_t, int32_t> cases[] = {
        {0, 0},
        {1, 156},
        {0x80, 151},
        {0x81, 152},
        {0x82, 153},
        {0x83, 154},
        {0x84, 155},
        {0x85, 157},
        {0x86, 158},
        // Anything else is malformed; -128 is not 0x80 because the result is
        // a signed 16-bit number, not a byte.
        {2, 50},
        {0x7F, 50},
        {0x87, 50},
        {0x180, 50},
        {-128, 50},
        {-1, 50},
    };
    for (auto const& [result, expected] : cases) {
        EXPECT_EQ(Helpers::otaResult2ec(result), code(expected)) << result;
    }
}

TEST(ErrorCodeTest, FileResultMap) {
    const std::pair<int16_t, int32_t> cases[] = {
        {0, 0},      {1, 180},    {0x40, 187}, {0x41, 184}, {0x80, 183}, {0x81, 182},
        {0x82, 186}, {0x83, 189}, {0x84, 181}, {0x85, 188}, {0x86, 191}, {0x87, 190},
        {0x88, 185}, {2, 50},     {0x42, 50},  {0x89, 50},  {-1, 50},    {-128, 50},
    };
    for (auto const& [result, expected] : cases) {
        EXPECT_EQ(Helpers::fileResult2ec(result), code(expected)) << result;
    }
}

TEST(ErrorCodeTest, BusErrorByteMap) {
    const std::pair<uint8_t, int32_t> cases[] = {
        {0x81, 101}, {0x82, 102}, {0x83, 103}, {0x84, 104}, {0x85, 105},
        {0x86, 106}, {0x87, 101}, {0x80, 101}, {0x01, 101}, {0xFF, 101},
    };
    for (auto const& [byte, expected] : cases) {
        EXPECT_EQ(Helpers::busError2ec(byte), code(expected)) << int(byte);
    }
}

} // namespace
