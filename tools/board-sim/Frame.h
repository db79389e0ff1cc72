#pragma once

#include "FaultRule.h"

#include <cstdint>
#include <optional>
#include <string>

namespace boardsim {

// One bus datagram: [address, sequence, command or error byte, slot, payload...].
struct Frame {
    static constexpr uint8_t AddressHost = 201;
    static constexpr uint8_t AddressBroadcast = 255;
    static constexpr size_t HeaderSize = 4;

    enum Command : uint8_t {
        Status = 0,
        Telemetry = 1,
        ConfigGet = 2,
        ConfigSet = 3,
        Action = 4,
        Misc = 5,
        Heartbeat = 127,
    };

    // Bus error bytes the boards answer with.
    enum Error : uint8_t {
        NodeTimeout = 0x82,
        ProtocolError = 0x83,
        InvalidSlot = 0x85,
        InvalidValue = 0x86,
    };

    uint8_t address = 0;
    uint8_t sequence = 0;
    uint8_t command = 0;
    uint8_t slot = 0;
    Bytes payload;

    // Nothing for a datagram under 4 bytes.
    static std::optional<Frame> parse(Bytes const& datagram);
    Bytes toBytes() const;

    // The reply to `request` from the gateway, with the request's command and slot.
    static Frame reply(Frame const& request, Bytes payload = {});
    // The 4-byte error reply to `request`.
    static Frame error(Frame const& request, uint8_t error);

    // The segment index of a firmware or file transfer request (0: header).
    std::optional<uint16_t> segment() const;

    static std::string hex(Bytes const& bytes);
};

} // namespace boardsim
