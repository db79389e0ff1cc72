#pragma once

#include <cstdint>
#include <string>

namespace velt::ZRV480::Bus::Common {

// Result of every bus and engine operation. 0 is success, anything else a
// failure; a variable may hold values without a name (they pass through as
// plain integers).
enum class ErrorCode : int32_t {
    Success = 0,
    Timeout = 1,

    MalformedJson = 20,
    MalformedRequest = 21,
    InvalidParameter = 22,

    MalformedResponse = 50,
    UnexpectedSequenceNumber = 51,

    OtaLimit = 70,
    FileLimit = 71,

    InvalidBoardVersion = 100,

    BusGeneralError = 101,
    BusTimeout = 102,
    BusProtocolError = 103,
    BusNodeError = 104,
    BusInvalidSlot = 105,
    BusInvalidValue = 106,

    OnBatteries = 150,

    OtaGeneralError = 151,
    OtaFormatError = 152,
    OtaSizeError = 153,
    OtaSequenceError = 154,
    OtaXFERError = 155,
    OtaCommit = 156,
    OtaStorageError = 157,
    OtaInternalError = 158,

    FileDone = 180,
    FileDescriptorError = 181,
    FileFormatError = 182,
    FileGeneralError = 183,
    FileInUse = 184,
    FileInternalError = 185,
    FileNameError = 186,
    FileNotFound = 187,
    FileSequenceError = 188,
    FileSizeError = 189,
    FileStorageError = 190,
    FileXFERError = 191,
};

// The enumerator's name, or "Unknown error code!" for a value without one.
std::string ec2str(ErrorCode code);

} // namespace velt::ZRV480::Bus::Common
