#pragma once

#include "bus/FirmwareHeader.h"
#include "foundation/Logger.h"

#include <string>
#include <vector>

namespace velt::ZRV480::Bus::ValueObjects {

// A firmware image file, read whole; usable only when a valid header was
// found in it. The whole content, header included, is what gets uploaded.
class Firmware : public Logger {
public:
    // A file that cannot be read whole stays invalid and empty.
    explicit Firmware(std::string const& path);

    bool isValid() const { return valid; }
    std::vector<uint8_t> getBinary() const { return binary; }
    FirmwareHeader getHeader() const { return header; }
    std::string getFilepath() const { return filepath; }

private:
    bool valid = false;
    std::vector<uint8_t> binary;
    FirmwareHeader header;
    std::string filepath;
};

} // namespace velt::ZRV480::Bus::ValueObjects
