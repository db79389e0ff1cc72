#pragma once

#include "bus/FirmwareHeader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The fields of a firmware image's header that the engine and the
// bootloader look at. The defaults name the next version of the power
// supply's firmware.
struct ImageHeader {
    std::string firmware = "psu";
    uint8_t version = 124;
    std::string board = "psu";
    uint32_t revision = 2;
    std::string build = "RELEASE";
    std::string company = "Velt";
    uint32_t magic = velt::ZRV480::Bus::ValueObjects::FirmwareHeader::Magic;
};

// Writes `header` over the header's bytes of `image` from `at`, the rest of
// them zero; a text longer than its 32-byte field is cut.
void putImageHeader(std::vector<uint8_t>& image, size_t at, ImageHeader const& header);

// An image with `header` at 0x100, the first place the header is looked for,
// and a body that differs per version so that two images never compare equal.
std::vector<uint8_t> firmwareImage(ImageHeader const& header);

// Writes firmwareImage(header) as the file `path`; returns its bytes.
std::vector<uint8_t> writeFirmwareImage(std::string const& path, ImageHeader const& header);

} // namespace testsupport
