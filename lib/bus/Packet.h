#pragma once

#include "bus/ErrorCode.h"
#include "bus/Protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velt::ZRV480::Bus {

// One bus frame: a request to a board or the reply that comes back. It travels
// as the whole payload of one UDP datagram: [address, sequence, command, slot]
// followed by the payload; an error reply carries its error byte in place of
// the command and is exactly four bytes long.
class Packet {
public:
    using Command = Protocol::Command;

    // The address every valid reply carries: the service itself.
    static constexpr uint8_t AddressHost = Protocol::AddressHost;
    // The address of a request to every board at once.
    static constexpr uint8_t AddressBroadcast = Protocol::AddressBroadcast;

    // An empty reply for a request to fill.
    Packet();
    // A request; its sequence number is given when it is sent.
    Packet(uint8_t address, Command command, uint8_t slot, std::vector<uint8_t> const& payload);

    std::vector<uint8_t> toBytes(uint8_t sequence) const;
    // Parses a received datagram into `packet`, replacing everything it held
    // (a datagram shorter than the header leaves it untouched). A refused
    // frame of four or more bytes still leaves its address and sequence in
    // `packet`, so the refusal can be handed to the request waiting for that
    // sequence.
    static Common::ErrorCode fromBytes(std::vector<uint8_t> const& bytes, Packet& packet);
    static std::string commandToStr(Command command);

    bool isError() const { return error != 0; }
    uint8_t getAddress() const { return address; }
    Command getCommand() const { return command; }
    uint8_t getError() const { return error; }
    uint8_t getSlot() const { return slot; }
    uint8_t getSequence() const { return sequence; }
    std::vector<uint8_t> getPayload() const { return payload; }

    // A request whose payload must never reach the log (a password, say):
    // its log text shows the four header bytes and the payload's length only.
    void setSecret(bool hidden) { secret = hidden; }
    bool isSecret() const { return secret; }
    // The datagram of toBytes(sequence) as spaced hex text for log lines.
    std::string toLogText(uint8_t sequence) const;

private:
    uint8_t address;
    Command command = Command::Status;
    uint8_t error = 0;
    uint8_t slot = 0;
    uint8_t sequence = 0;
    std::vector<uint8_t> payload;
    bool secret = false;
};

} // namespace velt::ZRV480::Bus
