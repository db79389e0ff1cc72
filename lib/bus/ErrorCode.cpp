#include "bus/ErrorCode.h"

#include <utility>

namespace velt::ZRV480::Bus::Common {

namespace {

using EC = ErrorCode;

const std::pair<EC, char const*> names[] = {
    {EC::Success, "Success"},
    {EC::Timeout, "Timeout"},
    {EC::MalformedJson, "MalformedJson"},
    {EC::MalformedRequest, "MalformedRequest"},
    {EC::InvalidParameter, "InvalidParameter"},
    {EC::MalformedResponse, "MalformedResponse"},
    {EC::UnexpectedSequenceNumber, "UnexpectedSequenceNumber"},
    {EC::OtaLimit, "OtaLimit"},
    {EC::FileLimit, "FileLimit"},
    {EC::InvalidBoardVersion, "InvalidBoardVersion"},
    {EC::BusGeneralError, "BusGeneralError"},
    {EC::BusTimeout, "BusTimeout"},
    {EC::BusProtocolError, "BusProtocolError"},
    {EC::BusNodeError, "BusNodeError"},
    {EC::BusInvalidSlot, "BusInvalidSlot"},
    {EC::BusInvalidValue, "BusInvalidValue"},
    {EC::OnBatteries, "OnBatteries"},
    {EC::OtaGeneralError, "OtaGeneralError"},
    {EC::OtaFormatError, "OtaFormatError"},
    {EC::OtaSizeError, "OtaSizeError"},
    {EC::OtaSequenceError, "OtaSequenceError"},
    {EC::OtaXFERError, "OtaXFERError"},
    {EC::OtaCommit, "OtaCommit"},
    {EC::OtaStorageError, "OtaStorageError"},
    {EC::OtaInternalError, "OtaInternalError"},
    {EC::FileDone, "FileDone"},
    {EC::FileDescriptorError, "FileDescriptorError"},
    {EC::FileFormatError, "FileFormatError"},
    {EC::FileGeneralError, "FileGeneralError"},
    {EC::FileInUse, "FileInUse"},
    {EC::FileInternalError, "FileInternalError"},
    {EC::FileNameError, "FileNameError"},
    {EC::FileNotFound, "FileNotFound"},
    {EC::FileSequenceError, "FileSequenceError"},
    {EC::FileSizeError, "FileSizeError"},
    {EC::FileStorageError, "FileStorageError"},
    {EC::FileXFERError, "FileXFERError"},
};

} // namespace

std::string ec2str(ErrorCode code) {
    for (auto const& [value, name] : names) {
        if (value == code) {
            return name;
        }
    }
    return "Unknown error code!";
}

} // namespace velt::ZRV480::Bus::Common
