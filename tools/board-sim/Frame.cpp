#include "Frame.h"

#include "Hex.h"
#include "LittleEndian.h"

namespace boardsim {

namespace {
constexpr uint8_t MiscBootloader = 240;
constexpr uint8_t MiscFiles = 241;
} // namespace

std::optional<Frame> Frame::parse(Bytes const& datagram) {
    if (datagram.size() < HeaderSize) {
        return std::nullopt;
    }
    Frame frame;
    frame.address = datagram[0];
    frame.sequence = datagram[1];
    frame.command = datagram[2];
    frame.slot = datagram[3];
    frame.payload.assign(datagram.begin() + HeaderSize, datagram.end());
    return frame;
}

Bytes Frame::toBytes() const {
    Bytes out;
    out.reserve(HeaderSize + payload.size());
    out.push_back(address);
    out.push_back(sequence);
    out.push_back(command);
    out.push_back(slot);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Frame Frame::reply(Frame const& request, Bytes payload) {
    return Frame{AddressHost, request.sequence, request.command, request.slot, std::move(payload)};
}

Frame Frame::error(Frame const& request, uint8_t error) {
    return Frame{AddressHost, request.sequence, error, request.slot, {}};
}

std::optional<uint16_t> Frame::segment() const {
    if (command != Misc || payload.size() < 3) {
        return std::nullopt;
    }
    if (slot == MiscBootloader && payload[0] == 0) {
        return LittleEndian::get16(payload, 1);
    }
    // Handle 0 never exists: "01 00 ..." is the disarm request, not a write.
    if (slot == MiscFiles && (payload[0] == 1 || payload[0] == 2) && payload[1] != 0 &&
        payload.size() >= 4) {
        return LittleEndian::get16(payload, 2);
    }
    return std::nullopt;
}

std::string Frame::hex(Bytes const& bytes) {
    return Hex::of(bytes.data(), bytes.size(), true);
}

} // namespace boardsim
