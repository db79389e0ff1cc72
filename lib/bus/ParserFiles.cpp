#include "bus/Parser.h"

#include "bus/Helpers.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/CheckedLock.h"
#include "foundation/String.h"

#include <algorithm>

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using Common::Helpers;

namespace {

constexpr char const* retryText = "Got Timeout, re-trying transmission...";
constexpr char const* stopText = "Too many timeouts, stopping transmission!";

bool accepted(ErrorCode result) {
    return result == ErrorCode::Success || result == ErrorCode::FileDone;
}

std::vector<uint8_t> segmentRequest(uint8_t subCommand, uint8_t handle, uint16_t k) {
    return {subCommand, handle, static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
}

} // namespace

Parser::FileReply Parser::fileRequest(std::vector<uint8_t> const& request, Exchange const& how,
                                      Trace const& trace, std::vector<uint8_t>& payload) {
    ErrorCode sent = exchange(
        Packet(Protocol::AddressMain, Packet::Command::Misc, Protocol::Misc::Files, request), how,
        trace, payload);
    if (sent != ErrorCode::Success) {
        return {sent, sent};
    }
    if (payload.size() < 2) {
        return {ErrorCode::MalformedResponse, ErrorCode::MalformedResponse};
    }
    return {ErrorCode::Success, Helpers::fileResult2ec(static_cast<int16_t>(uint16At(payload, 0)))};
}

ErrorCode Parser::mainFileOpen(std::string const& fileName, uint8_t& handle) {
    Trace const trace(String::format("mainFileOpen(%s)", fileName.c_str()));
    logTrace(Log::Level::Info, trace);
    // The name travels zero-terminated: a zero byte inside would cut it.
    if (fileName.find('\0') != std::string::npos) {
        log(Log::Level::Warning, "%s : the name holds a zero byte", trace.c_str());
        return ErrorCode::MalformedRequest;
    }
    // Reserved first: GCC's release-mode bounds check misreads an insert into
    // a vector made from one byte.
    std::vector<uint8_t> request;
    request.reserve(fileName.size() + 2);
    request.push_back(Protocol::File::Open);
    request.insert(request.end(), fileName.begin(), fileName.end());
    request.push_back(0);
    std::vector<uint8_t> payload;
    FileReply reply = fileRequest(request, fileExchange, trace, payload);
    if (reply.sent != ErrorCode::Success) {
        return reply.sent;
    }
    ErrorCode result = reply.result;
    if (result != ErrorCode::Success) {
        log(Log::Level::Warning, "File Open %s : %s", fileName.c_str(), ec2str(result).c_str());
        return result;
    }
    if (payload.size() < 3) {
        return ErrorCode::MalformedResponse;
    }
    handle = payload[2];
    openFile = std::make_shared<std::pair<std::string, int>>(fileName, handle);
    return ErrorCode::Success;
}

ErrorCode Parser::mainFileTransmit(std::string const& fileName, std::vector<uint8_t> const& data,
                                   bool open) {
    Trace const trace(
        String::format("mainFileTransmit(%s, %s)", fileName.c_str(), open ? "open" : "skip-open"));
    logTrace(Log::Level::Info, trace);
    if (!fileMutex.tryLock()) {
        return ErrorCode::FileLimit;
    }
    CheckedLock busy(fileMutex, std::adopt_lock);
    uint16_t count = 0;
    if (!segmentCount(data.size(), count)) {
        log(Log::Level::Warning, "%s : %zu bytes do not fit 65535 segments", trace.c_str(),
            data.size());
        return ErrorCode::InvalidParameter;
    }
    uint8_t handle = 0;
    if (open) {
        ErrorCode opened = mainFileOpen(fileName, handle);
        if (opened != ErrorCode::Success) {
            return opened;
        }
    } else if (!openFile || openFile->first != fileName) {
        log(Log::Level::Warning, "Skip-Open requested but file descriptor is not cached");
        return ErrorCode::FileNotFound;
    } else {
        log(Log::Level::Info, "File Descriptor already open, returning known");
        handle = static_cast<uint8_t>(openFile->second);
    }
    std::vector<uint8_t> header = segmentRequest(Protocol::File::Write, handle, 0);
    uint32Append(header, static_cast<uint32_t>(data.size()));
    uint16Append(header, count);
    return transferPasses(configGet().retransmit, retryText, stopText,
                          [&] { return fileTransmitPass(handle, trace, header, data, count); });
}

ErrorCode Parser::fileTransmitPass(uint8_t handle, Trace const& trace,
                                   std::vector<uint8_t> const& header,
                                   std::vector<uint8_t> const& data, uint16_t count) {
    std::vector<uint8_t> payload;
    FileReply reply = fileRequest(header, filePassExchange, trace, payload);
    if (reply.sent != ErrorCode::Success) {
        return reply.sent;
    }
    ErrorCode result = reply.result;
    log(Log::Level::Info, "File %d segment %d/%d : %s", handle, 0, count, ec2str(result).c_str());
    if (result != ErrorCode::Success) {
        return result;
    }
    for (uint32_t k = 1; k <= count; ++k) {
        std::vector<uint8_t> segment =
            segmentRequest(Protocol::File::Write, handle, static_cast<uint16_t>(k));
        segmentAppend(segment, data, k);
        reply = fileRequest(segment, filePassExchange, trace, payload);
        if (reply.sent != ErrorCode::Success) {
            return reply.sent;
        }
        result = reply.result;
        log(Log::Level::Info, "File %d segment %u/%d : %s", handle, k, count,
            ec2str(result).c_str());
        if (!accepted(result)) {
            return result;
        }
        fileTransmitProgress.emit(segmentPercent(k, count));
    }
    return ErrorCode::Success;
}

ErrorCode Parser::mainFileReceive(std::string const& fileName, std::vector<uint8_t>& data) {
    Trace const trace(String::format("mainFileReceive(%s)", fileName.c_str()));
    logTrace(Log::Level::Info, trace);
    if (!fileMutex.tryLock()) {
        return ErrorCode::FileLimit;
    }
    CheckedLock busy(fileMutex, std::adopt_lock);
    uint8_t handle = 0;
    ErrorCode opened = mainFileOpen(fileName, handle);
    if (opened != ErrorCode::Success) {
        return opened;
    }
    return transferPasses(configGet().retransmit, retryText, stopText,
                          [&] { return fileReceivePass(handle, fileName, trace, data); });
}

ErrorCode Parser::fileReceivePass(uint8_t handle, std::string const& fileName, Trace const& trace,
                                  std::vector<uint8_t>& data) {
    std::vector<uint8_t> payload;
    FileReply reply = fileRequest(segmentRequest(Protocol::File::Read, handle, 0), filePassExchange,
                                  trace, payload);
    if (reply.sent != ErrorCode::Success) {
        return reply.sent;
    }
    ErrorCode result = reply.result;
    log(Log::Level::Info, "File %s segment %d/? : %s", fileName.c_str(), 0, ec2str(result).c_str());
    if (result != ErrorCode::Success) {
        return result;
    }
    if (payload.size() < 8) {
        return ErrorCode::MalformedResponse;
    }
    uint16_t count = uint16At(payload, 6);
    log(Log::Level::Info, "File %s segment %d/%d : %s", fileName.c_str(), 0, count, "Success");
    // A new pass starts again from an empty buffer.
    data.clear();
    for (uint32_t k = 1; k <= count; ++k) {
        reply = fileRequest(segmentRequest(Protocol::File::Read, handle, static_cast<uint16_t>(k)),
                            filePassExchange, trace, payload);
        if (reply.sent != ErrorCode::Success) {
            return reply.sent;
        }
        result = reply.result;
        log(Log::Level::Debug, "payload: %s ", Helpers::hexStr(payload, true).c_str());
        // A segment holds at most 128 bytes of the file: a longer reply is
        // no segment of it, and its bytes must not end up in the file.
        if (payload.size() > 2 + Protocol::SegmentSize) {
            log(Log::Level::Warning, "File %s segment %u/%d : %zu bytes, at most %zu expected",
                fileName.c_str(), k, count, payload.size() - 2, Protocol::SegmentSize);
            return ErrorCode::MalformedResponse;
        }
        data.insert(data.end(), payload.begin() + 2, payload.end());
        log(Log::Level::Info, "File %d segment %u/%d : %s", handle, k, count,
            ec2str(result).c_str());
        if (!accepted(result)) {
            return result;
        }
        fileReceiveProgress.emit(segmentPercent(k, count));
    }
    return ErrorCode::Success;
}

ErrorCode Parser::fileHandleRequest(std::string const& fileName, Trace const& trace,
                                    uint8_t subCommand, char const* what,
                                    std::vector<uint8_t>& payload) {
    uint8_t handle = 0;
    ErrorCode opened = mainFileOpen(fileName, handle);
    if (opened != ErrorCode::Success) {
        return opened;
    }
    FileReply reply = fileRequest({subCommand, handle}, fileExchange, trace, payload);
    if (reply.sent != ErrorCode::Success) {
        return reply.sent;
    }
    ErrorCode result = reply.result;
    log(Log::Level::Info, "File %s %s : %s", what, fileName.c_str(), ec2str(result).c_str());
    if (!accepted(result)) {
        logTrace(Log::Level::Warning, trace, result);
        return result;
    }
    return ErrorCode::Success;
}

ErrorCode Parser::mainFileDelete(std::string const& fileName) {
    Trace const trace(String::format("mainFileDelete(%s)", fileName.c_str()));
    logTrace(Log::Level::Info, trace);
    if (!fileMutex.tryLock()) {
        return ErrorCode::FileLimit;
    }
    CheckedLock busy(fileMutex, std::adopt_lock);
    std::vector<uint8_t> payload;
    return fileHandleRequest(fileName, trace, Protocol::File::Delete, "delete", payload);
}

ErrorCode Parser::mainFileChecksum(std::string const& fileName, uint32_t& size,
                                   std::array<uint8_t, 16>& md5) {
    Trace const trace(String::format("mainFileChecksum(%s)", fileName.c_str()));
    logTrace(Log::Level::Info, trace);
    if (!fileMutex.tryLock()) {
        return ErrorCode::FileLimit;
    }
    CheckedLock busy(fileMutex, std::adopt_lock);
    std::vector<uint8_t> payload;
    ErrorCode result =
        fileHandleRequest(fileName, trace, Protocol::File::Checksum, "checksum", payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    if (payload.size() < 22) {
        return ErrorCode::MalformedResponse;
    }
    size = uint32At(payload, 2);
    std::copy_n(payload.begin() + 6, md5.size(), md5.begin());
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::Bus
