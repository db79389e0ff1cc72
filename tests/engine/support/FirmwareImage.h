#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace enginetest {

// The fields of a firmware image's header that the engine and the
// bootloader look at. The defaults name the next version of the power
// supply's firmware.
struct ImageHeader {
    std::string firmware = "psu";
    uint8_t version = 124;
    std::string board = "psu";
    uint32_t revision = 2;
    std::string build = "RELEASE";
};

// An image with `header` at 0x100, the first place the header is looked for,
// and a body that differs per version so that two images never compare equal.
std::vector<uint8_t> firmwareImage(ImageHeader const& header);

// Writes firmwareImage(header) as the file `path`; returns its bytes.
std::vector<uint8_t> writeFirmwareImage(std::string const& path, ImageHeader const& header);

} // namespace enginetest
