#include "bus/Parser.h"

#include "bus/BusReport.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/String.h"

#include <algorithm>

namespace velt::ZRV480::Bus {

using Common::ErrorCode;

namespace {

Packet mainRequest(uint8_t slot, std::vector<uint8_t> const& payload) {
    return Packet(Protocol::AddressMain, Packet::Command::Misc, slot, payload);
}

template <size_t N>
void arrayAppend(std::vector<uint8_t>& bytes, std::array<uint8_t, N> const& values) {
    bytes.insert(bytes.end(), values.begin(), values.end());
}

template <size_t N>
void arrayFrom(std::vector<uint8_t> const& bytes, size_t offset, std::array<uint8_t, N>& values) {
    std::copy_n(bytes.begin() + offset, N, values.begin());
}

// The fields below travel zero-terminated: a zero byte inside would end them
// early and change what the board reads.
bool hasZeroByte(std::string const& text) {
    return text.find('\0') != std::string::npos;
}

void textAppend(std::vector<uint8_t>& bytes, std::string const& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

// Passwords, hashes and salts never reach the log: the frame's log text
// shows its header and payload length only.
Packet secretRequest(uint8_t slot, std::vector<uint8_t> const& payload) {
    Packet request = mainRequest(slot, payload);
    request.setSecret(true);
    return request;
}

std::vector<uint8_t> preAuthPayload(std::string const& hash, std::string const& salt) {
    std::vector<uint8_t> payload{Protocol::Security::PreAuth, 0};
    textAppend(payload, hash);
    textAppend(payload, salt);
    return payload;
}

// A secret too long for one frame would be lost on the way and time out,
// taking the bus offline: refused before anything is sent. The log says
// how long, never what.
bool fitsFrame(Logger const& logger, char const* what, std::vector<uint8_t> const& payload) {
    size_t const size = Protocol::HeaderSize + payload.size();
    if (size <= Protocol::MaxFrameSize) {
        return true;
    }
    logger.log(Log::Level::Warning,
               "%s : the request takes %zu bytes, more than a request frame carries (%zu)", what,
               size, Protocol::MaxFrameSize);
    return false;
}

} // namespace

ErrorCode Parser::mainTimestampGet(int32_t& timestamp) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Clock, {}), "mainTimestampGet()", 4,
                             ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    timestamp = int32At(payload, 0);
    log(Log::Level::Debug, "timestamp: %d [0x%08x]", timestamp, static_cast<uint32_t>(timestamp));
    return ErrorCode::Success;
}

ErrorCode Parser::mainTimestampSet(int32_t& timestamp) {
    log(Log::Level::Debug, "mainTimestampSet(%d)", timestamp);
    return int32Set(mainRequest(Protocol::Misc::Clock, {}), timestamp);
}

ErrorCode Parser::mainNetworkStatusGet(bool& link, std::array<uint8_t, 6>& mac,
                                       std::array<uint8_t, 4>& ip) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, {Protocol::Network::Status}),
                             "mainNetworkStatusGet", 11, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    link = payload[0] != 0;
    arrayFrom(payload, 1, mac);
    arrayFrom(payload, 7, ip);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkBoardServerGet(uint16_t& port) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, {Protocol::Network::BoardServer}),
                             "mainNetworkBoardServerGet", 2, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    port = uint16At(payload, 0);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkBoardServerSet(uint16_t& port) {
    std::vector<uint8_t> request{Protocol::Network::BoardServer};
    uint16Append(request, port);
    std::vector<uint8_t> echo;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, request),
                             "mainNetworkBoardServerSet", 2, ShortReply::Quiet, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    port = uint16At(echo, 0);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkDhcpGet(bool& dhcp) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, {Protocol::Network::Dhcp}),
                             "mainNetworkDhcpGet", 1, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    dhcp = payload[0] != 0;
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkDhcpSet(bool& dhcp) {
    std::vector<uint8_t> echo;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network,
                                         {Protocol::Network::Dhcp, dhcp ? uint8_t{1} : uint8_t{0}}),
                             "mainNetworkDhcpSet", 1, ShortReply::Quiet, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    dhcp = echo[0] != 0;
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkIpGet(std::array<uint8_t, 4>& ip, std::array<uint8_t, 4>& netmask,
                                   std::array<uint8_t, 4>& gateway) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, {Protocol::Network::Ip}),
                             "mainNetworkIpGet", 12, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    arrayFrom(payload, 0, ip);
    arrayFrom(payload, 4, netmask);
    arrayFrom(payload, 8, gateway);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkIpSet(std::array<uint8_t, 4>& ip, std::array<uint8_t, 4>& netmask,
                                   std::array<uint8_t, 4>& gateway) {
    std::vector<uint8_t> request{Protocol::Network::Ip};
    arrayAppend(request, ip);
    arrayAppend(request, netmask);
    arrayAppend(request, gateway);
    std::vector<uint8_t> echo;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, request), "mainNetworkIpSet", 12,
                             ShortReply::Quiet, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    arrayFrom(echo, 0, ip);
    arrayFrom(echo, 4, netmask);
    arrayFrom(echo, 8, gateway);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkDnsGet(std::array<uint8_t, 4>& dns) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, {Protocol::Network::Dns}),
                             "mainNetworkDnsGet", 4, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    arrayFrom(payload, 0, dns);
    return ErrorCode::Success;
}

ErrorCode Parser::mainNetworkDnsSet(std::array<uint8_t, 4>& dns) {
    std::vector<uint8_t> request{Protocol::Network::Dns};
    arrayAppend(request, dns);
    std::vector<uint8_t> echo;
    ErrorCode result = query(mainRequest(Protocol::Misc::Network, request), "mainNetworkDnsSet", 4,
                             ShortReply::Quiet, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    arrayFrom(echo, 0, dns);
    return ErrorCode::Success;
}

ErrorCode Parser::mainBusStatisticsGet(BusReport& report) {
    std::vector<uint8_t> payload;
    ErrorCode result = query(mainRequest(Protocol::Misc::BusReport, {}), "mainBusStatisticsGet", 7,
                             ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    report.total = payload[0];
    report.connected = payload[1];
    report.rx = uint16At(payload, 2);
    report.tx = uint16At(payload, 4);
    report.quality = payload[6];
    return ErrorCode::Success;
}

ErrorCode Parser::mainSecurityPreAuth(std::string const& passwordHash, std::string const& salt) {
    Trace const trace("mainSecurityPreAuth");
    if (passwordHash.size() != Protocol::PasswordHashLength) {
        logTrace(Log::Level::Debug, trace);
        log(Log::Level::Warning, "Password hash length is invalid (expected=%zu, actual=%zu)",
            Protocol::PasswordHashLength, passwordHash.size());
        return ErrorCode::MalformedRequest;
    }
    if (hasZeroByte(passwordHash) || hasZeroByte(salt)) {
        logTrace(Log::Level::Debug, trace);
        log(Log::Level::Warning, "%s : the hash or the salt holds a zero byte", trace.c_str());
        return ErrorCode::MalformedRequest;
    }
    std::vector<uint8_t> const payload = preAuthPayload(passwordHash, salt);
    if (!fitsFrame(*this, "mainSecurityPreAuth", payload)) {
        return ErrorCode::InvalidParameter;
    }
    std::vector<uint8_t> reply;
    return query(secretRequest(Protocol::Misc::Security, payload), trace, 0, ShortReply::Quiet,
                 reply);
}

ErrorCode Parser::mainSecurityPreAuthCancel() {
    // A pre-authentication with the hash "0" and the salt "0" cancels it.
    std::vector<uint8_t> reply;
    return query(secretRequest(Protocol::Misc::Security, preAuthPayload("0", "0")),
                 "mainSecurityPreAuthCancel", 0, ShortReply::Quiet, reply);
}

ErrorCode Parser::mainSecurityDisarm(std::string const& password, bool& disarmed) {
    if (hasZeroByte(password)) {
        log(Log::Level::Warning, "mainSecurityDisarm : the password holds a zero byte");
        return ErrorCode::MalformedRequest;
    }
    // 1, then one zero byte more than the password has characters, then the
    // password without a terminating zero.
    std::vector<uint8_t> request{Protocol::File::Disarm};
    request.insert(request.end(), password.size() + 1, 0);
    request.insert(request.end(), password.begin(), password.end());
    if (!fitsFrame(*this, "mainSecurityDisarm", request)) {
        return ErrorCode::InvalidParameter;
    }
    return boolGet(secretRequest(Protocol::Misc::Files, request), disarmed);
}

} // namespace velt::ZRV480::Bus
