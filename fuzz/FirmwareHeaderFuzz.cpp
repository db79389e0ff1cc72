// Firmware images as they arrive for an upgrade: the header is looked for in
// its windows and read from untrusted bytes.
#include "bus/FirmwareHeader.h"

#include <cstdint>
#include <vector>

using velt::ZRV480::Bus::ValueObjects::FirmwareHeader;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    FirmwareHeader const header(std::vector<uint8_t>(data, data + size));
    if (header.isValid()) {
        (void)header.getBoard();
        (void)FirmwareHeader::versionToStr(header.getVersion());
        (void)FirmwareHeader::buildToStr(header.getBuild());
    }
    (void)FirmwareHeader::strToVersion(std::string(data, data + size));
    return 0;
}
