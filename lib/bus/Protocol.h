#pragma once

#include <cstddef>
#include <cstdint>

// The numbers of the bus protocol, in one place: frame layout, addresses,
// commands, the slots of the Misc command and the sub-commands that the first
// payload byte selects on them, and the sizes of fields. What the result
// bytes of replies mean is the business of the tables in Helpers.
namespace velt::ZRV480::Bus::Protocol {

// A frame: [address, sequence, command, slot] and then the payload.
constexpr std::size_t HeaderSize = 4;
// A frame travels as one UDP datagram, which carries at most 65507 bytes
// (65535 less the IPv4 and UDP headers): a longer one is never sent.
constexpr std::size_t MaxFrameSize = 65507;
// An error reply is exactly a header, with one of these bytes in place of the
// command; other bytes of the form 0x8N make the reply malformed.
constexpr uint8_t ErrorByteMask = 0xF0;
constexpr uint8_t ErrorBytePrefix = 0x80;
constexpr uint8_t ErrorByteFirst = 0x81;
constexpr uint8_t ErrorByteLast = 0x87;

constexpr uint8_t AddressMain = 0;        // the main board, also the bus gateway
constexpr uint8_t AddressService = 200;   // the service console
constexpr uint8_t AddressHost = 201;      // every valid reply carries it
constexpr uint8_t AddressBroadcast = 255; // a request to every board at once

enum class Command : uint8_t {
    Status = 0,
    Telemetry = 1,
    ConfigGet = 2,
    ConfigSet = 3,
    Action = 4,
    Misc = 5,
    OTA = 64,
    Heartbeat = 127,
};

// Slots of Command::Misc. A light's own slot number plays its pattern.
namespace Misc {
constexpr uint8_t Reboot = 0;
constexpr uint8_t RestoreDefaults = 1;
constexpr uint8_t BoardInfo = 2;
constexpr uint8_t Clock = 3;     // main board
constexpr uint8_t Network = 4;   // main board
constexpr uint8_t Security = 5;  // main board
constexpr uint8_t BusReport = 6; // main board
constexpr uint8_t Bootloader = 240;
constexpr uint8_t Files = 241; // main board; the disarm request travels here too
constexpr uint8_t Scratchpad = 255;
} // namespace Misc

// First payload byte on Misc::Network.
namespace Network {
constexpr uint8_t Status = 0;
constexpr uint8_t BoardServer = 1;
constexpr uint8_t Dhcp = 2;
constexpr uint8_t Ip = 3;
constexpr uint8_t Dns = 4;
} // namespace Network

// First payload byte on Misc::Security.
namespace Security {
constexpr uint8_t PreAuth = 3;
} // namespace Security

// First payload byte on Misc::Files.
namespace File {
constexpr uint8_t Open = 0;
constexpr uint8_t Write = 1;
constexpr uint8_t Read = 2;
constexpr uint8_t Delete = 3;
constexpr uint8_t Checksum = 4;
// The disarm request; it shares the slot and this byte with Write, and the
// main board tells them apart by what follows.
constexpr uint8_t Disarm = 1;
} // namespace File

// First payload byte on Misc::Bootloader.
namespace Bootloader {
constexpr uint8_t Segment = 0; // a segment of a firmware upload
constexpr uint8_t StatusRead = 1;
constexpr uint8_t FlagsRead = 2;
constexpr uint8_t FlagsWrite = 3;
} // namespace Bootloader

// First payload byte on Misc::Scratchpad.
namespace Scratchpad {
constexpr uint8_t Read = 0;
constexpr uint8_t Write = 1;
constexpr uint8_t Erase = 2;
} // namespace Scratchpad

// Bit 24 of a light's value asks for a transition; it is no part of the value.
constexpr int32_t TransitionFlag = 0x01000000;
// Data bytes per segment of a file transfer or firmware upload.
constexpr std::size_t SegmentSize = 128;
constexpr std::size_t BoardIdSize = 16;
// The count byte of a light pattern cannot describe more steps.
constexpr std::size_t PatternStepsMax = 255;
constexpr std::size_t PasswordHashLength = 64;

} // namespace velt::ZRV480::Bus::Protocol
