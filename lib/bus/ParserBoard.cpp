#include "bus/Parser.h"

#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/String.h"

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using namespace std::chrono_literals;

namespace {
// Reboots, restores and broadcasts would act twice if repeated: one attempt.
ErrorCode sendOnce(Parser& parser, Packet const& request) {
    Packet reply;
    return parser.send(request, reply, false, 0ms);
}
} // namespace

ErrorCode Parser::heartbeat(uint8_t address, uint32_t& uptime) {
    std::string const& boardName = names.at(address);
    Trace const trace([&boardName] { return String::format("heartbeat(%s)", boardName.c_str()); });
    logTrace(Log::Level::Debug, trace);
    Packet reply;
    ErrorCode result = send(Packet(address, Packet::Command::Heartbeat, 0, {}), reply, true, 100ms);
    // After a failure the reply is the empty default one: the uptime reads 0.
    std::vector<uint8_t> payload = reply.getPayload();
    if (!payload.empty() && payload.size() != 4) {
        log(Log::Level::Warning, "MalformedResponse");
        return ErrorCode::MalformedResponse;
    }
    uptime = payload.empty() ? 0 : uint32At(payload, 0);
    log(Log::Level::Debug, "uptime: %u", uptime);
    if (result != ErrorCode::Success) {
        logTrace(Log::Level::Debug, trace, result);
    }
    return result;
}

ErrorCode Parser::boardAction(uint8_t address, uint8_t action) {
    log(Log::Level::Info, "boardAction(%s, %d)", names.at(address).c_str(), action);
    int32_t acknowledgement = 0;
    return int32Get(Packet(address, Packet::Command::Action, action, {}), acknowledgement);
}

ErrorCode Parser::boardReboot(uint8_t address) {
    log(Log::Level::Info, "boardReboot(%s)", names.at(address).c_str());
    return sendOnce(*this, Packet(address, Packet::Command::Misc, Protocol::Misc::Reboot, {}));
}

ErrorCode Parser::boardRestoreDefaults(uint8_t address) {
    log(Log::Level::Info, "boardRestoreDefaults(%s)", names.at(address).c_str());
    return sendOnce(*this,
                    Packet(address, Packet::Command::Misc, Protocol::Misc::RestoreDefaults, {}));
}

ErrorCode Parser::broadcastReboot() {
    return sendOnce(
        *this, Packet(Packet::AddressBroadcast, Packet::Command::Misc, Protocol::Misc::Reboot, {}));
}

ErrorCode Parser::broadcastRestoreDefaults() {
    return sendOnce(*this, Packet(Packet::AddressBroadcast, Packet::Command::Misc,
                                  Protocol::Misc::RestoreDefaults, {}));
}

ErrorCode Parser::broadcastHeartbeat() {
    return sendOnce(*this, Packet(Packet::AddressBroadcast, Packet::Command::Heartbeat, 0, {}));
}

} // namespace velt::ZRV480::Bus
