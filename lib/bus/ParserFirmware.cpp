#include "bus/Parser.h"

#include "bus/CRC.h"
#include "bus/Helpers.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/CheckedLock.h"
#include "foundation/String.h"

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using Common::Helpers;

namespace {

std::vector<uint8_t> segmentRequest(uint16_t k) {
    return {Protocol::Bootloader::Segment, static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
}

} // namespace

ErrorCode Parser::boardOtaFirmwareUpgradeExecute(uint8_t address, std::vector<uint8_t> const& image,
                                                 uint8_t attempts) {
    std::string const& boardName = names.at(address);
    Trace const trace([&boardName] {
        return String::format("boardOtaFirmwareUpgradeExecute(%s)", boardName.c_str());
    });
    logTrace(Log::Level::Debug, trace);
    if (!otaMutex.tryLock()) {
        return ErrorCode::OtaLimit;
    }
    CheckedLock busy(otaMutex, std::adopt_lock);
    uint16_t count = 0;
    if (!segmentCount(image.size(), count)) {
        log(Log::Level::Warning, "%s : %zu bytes do not fit 65535 segments", trace.c_str(),
            image.size());
        return ErrorCode::InvalidParameter;
    }
    // The bootloader's CRC starts from a zero register.
    uint32_t crc = CRC::CRC32_update(0xFFFFFFFF, image);
    std::vector<uint8_t> header = segmentRequest(0);
    uint32Append(header, static_cast<uint32_t>(image.size()));
    uint32Append(header, crc);
    uint16Append(header, count);
    return transferPasses(attempts, "Got Timeout, re-trying upgrade...",
                          "Too many timeouts, stopping attempts!",
                          [&] { return firmwarePass(address, trace, header, image, count); });
}

ErrorCode Parser::firmwarePass(uint8_t address, Trace const& trace,
                               std::vector<uint8_t> const& header,
                               std::vector<uint8_t> const& image, uint16_t count) {
    std::string const& boardName = names.at(address);
    for (uint32_t k = 0; k <= count; ++k) {
        std::vector<uint8_t> request = header;
        if (k > 0) {
            request = segmentRequest(static_cast<uint16_t>(k));
            segmentAppend(request, image, k);
        }
        std::vector<uint8_t> payload;
        ErrorCode sent =
            exchange(Packet(address, Packet::Command::Misc, Protocol::Misc::Bootloader, request),
                     otaPassExchange, trace, payload);
        if (sent != ErrorCode::Success) {
            return sent;
        }
        if (payload.size() < 2) {
            return ErrorCode::MalformedResponse;
        }
        ErrorCode result = Helpers::otaResult2ec(static_cast<int16_t>(uint16At(payload, 0)));
        log(Log::Level::Info, "Firmware %s segment %u/%d : %s", boardName.c_str(), k, count,
            ec2str(result).c_str());
        // The header needs Success; a data segment may also commit the image.
        bool accepted = result == ErrorCode::Success || (k > 0 && result == ErrorCode::OtaCommit);
        if (!accepted) {
            return result;
        }
        if (k > 0) {
            firmwareUpgradeProgress.emit(address, segmentPercent(k, count));
        }
    }
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::Bus
