#include "bus/Parser.h"

#include "bus/BootloaderStatus.h"
#include "bus/Flags.h"
#include "bus/FlagsFlash.h"
#include "bus/FlagsSd.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/StatusFlash.h"
#include "bus/StatusSd.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/String.h"

namespace velt::ZRV480::Bus {

using Common::ErrorCode;
using ValueObjects::Bootloader::Flags;
using ValueObjects::Bootloader::FlagsFlash;
using ValueObjects::Bootloader::FlagsSd;
using ValueObjects::Bootloader::Status;
using ValueObjects::Bootloader::StatusFlash;
using ValueObjects::Bootloader::StatusSd;

namespace {

// The main board's bootloader names and numbers its bits differently.
std::vector<Flags::Flag> const& flagTable(uint8_t address) {
    return address == Protocol::AddressMain ? FlagsSd::sd_flags : FlagsFlash::flash_flags;
}

Packet bootloaderRequest(uint8_t address, std::vector<uint8_t> const& payload) {
    return Packet(address, Packet::Command::Misc, Protocol::Misc::Bootloader, payload);
}

} // namespace

ErrorCode Parser::bootloaderStatusGet(uint8_t address, Status& status) {
    std::string const& boardName = names.at(address);
    Trace const trace(
        [&boardName] { return String::format("bootloaderStatusGet(%s)", boardName.c_str()); });
    std::vector<uint8_t> payload;
    ErrorCode result = query(bootloaderRequest(address, {Protocol::Bootloader::StatusRead}), trace,
                             2, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    uint16_t word = uint16At(payload, 0);
    if (address == Protocol::AddressMain) {
        status = StatusSd(word);
    } else {
        status = StatusFlash(word);
    }
    log(Log::Level::Debug, "bootloader %d status: %d", address, word);
    return ErrorCode::Success;
}

ErrorCode Parser::bootloaderFlagsGet(uint8_t address, Flags& flags) {
    Trace const trace(
        [address] { return String::format("boardOtaBootloaderFlagsGet %d", address); });
    std::vector<uint8_t> payload;
    ErrorCode result = query(bootloaderRequest(address, {Protocol::Bootloader::FlagsRead}), trace,
                             2, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    flags = Flags(flagTable(address), std::bitset<16>(uint16At(payload, 0)));
    return ErrorCode::Success;
}

ErrorCode Parser::bootloaderFlagsSet(uint8_t address, Flags& flags) {
    Trace const trace(
        [address] { return String::format("boardOtaBootloaderFlagsSet %d", address); });
    // Encoded by the names of the target board's table, whatever table the
    // caller's object holds.
    Flags encoded = flags;
    if (address == Protocol::AddressMain) {
        encoded = FlagsSd(flags);
    } else {
        encoded = FlagsFlash(flags);
    }
    uint16_t word = static_cast<uint16_t>(encoded.toBitset().to_ulong());
    std::vector<uint8_t> payload;
    ErrorCode result = query(
        bootloaderRequest(address, {Protocol::Bootloader::FlagsWrite, static_cast<uint8_t>(word),
                                    static_cast<uint8_t>(word >> 8)}),
        trace, 2, ShortReply::Quiet, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    uint16_t answered = uint16At(payload, 0);
    flags = Flags(flagTable(address), std::bitset<16>(answered));
    log(Log::Level::Debug, "bootloader %d flags: 0x%04x", address, answered);
    return ErrorCode::Success;
}

ErrorCode Parser::boardBootloaderFlagsSet(uint8_t address, Flags& flags) {
    log(Log::Level::Info, "Setting %s bootloader flags", names.at(address).c_str());
    return bootloaderFlagsSet(address, flags);
}

} // namespace velt::ZRV480::Bus
