#include "support/FirmwareImage.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace {

using velt::ZRV480::Bus::ValueObjects::FirmwareHeader;

constexpr size_t HeaderOffset = 0x100;
constexpr size_t ImageSize = 0x300; // a few upload segments

void putU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void putText(std::vector<uint8_t>& bytes, size_t at, std::string const& text) {
    std::copy_n(text.begin(), std::min<size_t>(text.size(), 32), bytes.begin() + at);
}

} // namespace

void putImageHeader(std::vector<uint8_t>& image, size_t at, ImageHeader const& header) {
    std::fill_n(image.begin() + at, FirmwareHeader::Size, 0);
    putU32(image, at, header.magic);
    putText(image, at + 4, header.company);
    putText(image, at + 36, header.firmware);
    image[at + 68] = header.version;
    putText(image, at + 72, header.board);
    putU32(image, at + 104, header.revision);
    putText(image, at + 108, header.build);
}

std::vector<uint8_t> firmwareImage(ImageHeader const& header) {
    std::vector<uint8_t> bytes(ImageSize);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + header.version);
    }
    putImageHeader(bytes, HeaderOffset, header);
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

} // namespace testsupport
