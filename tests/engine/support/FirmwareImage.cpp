#include "support/FirmwareImage.h"

#include "bus/FirmwareHeader.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace enginetest {

namespace {

using velt::ZRV480::Bus::ValueObjects::FirmwareHeader;

constexpr size_t HeaderOffset = 0x100;
constexpr size_t ImageSize = 0x300; // a few upload segments

void putU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A 32-byte text field, zero-padded.
void putText(std::vector<uint8_t>& bytes, size_t at, std::string const& text) {
    std::copy_n(text.begin(), std::min<size_t>(text.size(), 32), bytes.begin() + at);
}

} // namespace

std::vector<uint8_t> firmwareImage(ImageHeader const& header) {
    std::vector<uint8_t> bytes(ImageSize);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + header.version);
    }
    size_t const at = HeaderOffset;
    std::fill_n(bytes.begin() + at, FirmwareHeader::Size, 0);
    putU32(bytes, at, FirmwareHeader::Magic);
    putText(bytes, at + 4, "Velt");
    putText(bytes, at + 36, header.firmware);
    bytes[at + 68] = header.version;
    putText(bytes, at + 72, header.board);
    putU32(bytes, at + 104, header.revision);
    putText(bytes, at + 108, header.build);
    return bytes;
}

std::vector<uint8_t> writeFirmwareImage(std::string const& path, ImageHeader const& header) {
    std::vector<uint8_t> const bytes = firmwareImage(header);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<char const*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
        throw std::runtime_error("could not write " + path);
    }
    return bytes;
}

} // namespace enginetest
