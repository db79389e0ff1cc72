#include "bus/Helpers.h"

#include <utility>

namespace velt::ZRV480::Bus::Common {

namespace {

using EC = ErrorCode;

// The boards' numbering follows no pattern, so each map is a table.
const std::pair<int16_t, EC> otaResults[] = {
    {0, EC::Success},           {1, EC::OtaCommit},          {0x80, EC::OtaGeneralError},
    {0x81, EC::OtaFormatError}, {0x82, EC::OtaSizeError},    {0x83, EC::OtaSequenceError},
    {0x84, EC::OtaXFERError},   {0x85, EC::OtaStorageError}, {0x86, EC::OtaInternalError},
};

const std::pair<int16_t, EC> fileResults[] = {
    {0, EC::Success},
    {1, EC::FileDone},
    {0x40, EC::FileNotFound},
    {0x41, EC::FileInUse},
    {0x80, EC::FileGeneralError},
    {0x81, EC::FileFormatError},
    {0x82, EC::FileNameError},
    {0x83, EC::FileSizeError},
    {0x84, EC::FileDescriptorError},
    {0x85, EC::FileSequenceError},
    {0x86, EC::FileXFERError},
    {0x87, EC::FileStorageError},
    {0x88, EC::FileInternalError},
};

const std::pair<uint8_t, EC> busErrors[] = {
    {0x82, EC::BusTimeout},     {0x83, EC::BusProtocolError}, {0x84, EC::BusNodeError},
    {0x85, EC::BusInvalidSlot}, {0x86, EC::BusInvalidValue},
};

template <typename Key, size_t N>
EC lookup(const std::pair<Key, EC> (&table)[N], Key key, EC otherwise) {
    for (const auto& [k, code] : table) {
        if (k == key) {
            return code;
        }
    }
    return otherwise;
}

} // namespace

ErrorCode Helpers::otaResult2ec(int16_t result) {
    return lookup(otaResults, result, EC::MalformedResponse);
}

ErrorCode Helpers::fileResult2ec(int16_t result) {
    return lookup(fileResults, result, EC::MalformedResponse);
}

ErrorCode Helpers::busError2ec(uint8_t errorByte) {
    return lookup(busErrors, errorByte, EC::BusGeneralError);
}

} // namespace velt::ZRV480::Bus::Common
