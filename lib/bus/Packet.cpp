#include "bus/Packet.h"

#include "bus/Helpers.h"

namespace velt::ZRV480::Bus {

using Common::ErrorCode;

namespace {

using Protocol::HeaderSize;

bool isKnownCommand(uint8_t value) {
    switch (static_cast<Packet::Command>(value)) {
    case Packet::Command::Status:
    case Packet::Command::Telemetry:
    case Packet::Command::ConfigGet:
    case Packet::Command::ConfigSet:
    case Packet::Command::Action:
    case Packet::Command::Misc:
    case Packet::Command::OTA:
    case Packet::Command::Heartbeat:
        return true;
    }
    return false;
}

} // namespace

Packet::Packet() : address(AddressHost) {}

Packet::Packet(uint8_t target, Command requested, uint8_t slotNumber,
               std::vector<uint8_t> const& data)
    : address(target), command(requested), slot(slotNumber), payload(data) {}

std::vector<uint8_t> Packet::toBytes(uint8_t sequenceNumber) const {
    std::vector<uint8_t> bytes;
    bytes.reserve(HeaderSize + payload.size());
    bytes.push_back(address);
    bytes.push_back(sequenceNumber);
    bytes.push_back(static_cast<uint8_t>(command));
    bytes.push_back(slot);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

ErrorCode Packet::fromBytes(std::vector<uint8_t> const& bytes, Packet& packet) {
    if (bytes.size() < HeaderSize) {
        return ErrorCode::MalformedResponse;
    }
    // A packet that held another frame keeps nothing of it but the payload's
    // storage, which a parser reuses for frame after frame.
    std::vector<uint8_t> storage = std::move(packet.payload);
    storage.clear();
    packet = Packet();
    packet.payload = std::move(storage);
    packet.address = bytes[0];
    packet.sequence = bytes[1];

    uint8_t const code = bytes[2];
    if (bytes.size() == HeaderSize &&
        (code & Protocol::ErrorByteMask) == Protocol::ErrorBytePrefix) {
        if (code < Protocol::ErrorByteFirst || code > Protocol::ErrorByteLast) {
            return ErrorCode::MalformedResponse;
        }
        packet.error = code;
    } else if (isKnownCommand(code)) {
        packet.command = static_cast<Command>(code);
    } else {
        return ErrorCode::MalformedResponse;
    }

    packet.slot = bytes[3];
    if (bytes.size() > HeaderSize) {
        packet.payload.assign(bytes.begin() + HeaderSize, bytes.end());
    }
    return ErrorCode::Success;
}

std::string Packet::toLogText(uint8_t sequenceNumber) const {
    std::vector<uint8_t> const bytes = toBytes(sequenceNumber);
    if (!secret) {
        return Common::Helpers::hexStr(bytes, true);
    }
    std::vector<uint8_t> const header(bytes.begin(), bytes.begin() + HeaderSize);
    return Common::Helpers::hexStr(header, true) + "+ " + std::to_string(payload.size()) +
           " secret bytes";
}

std::string Packet::commandToStr(Command command) {
    switch (command) {
    case Command::Status:
        return "Status";
    case Command::Telemetry:
        return "Telemetry";
    case Command::ConfigGet:
        return "ConfigGet";
    case Command::ConfigSet:
        return "ConfigSet";
    case Command::Action:
        return "Action";
    case Command::Misc:
        return "Misc";
    case Command::OTA:
        return "OTA";
    case Command::Heartbeat:
        return "Heartbeat";
    }
    return "Unknown";
}

} // namespace velt::ZRV480::Bus
