#include "bus/Firmware.h"

#include "bus/Helpers.h"

namespace velt::ZRV480::Bus::ValueObjects {

Firmware::Firmware(std::string const& path) : Logger(""), filepath(path) {
    if (Common::Helpers::fileToVector(path, binary) != Common::ErrorCode::Success) {
        return;
    }
    header = FirmwareHeader(binary);
    valid = header.isValid();
}

} // namespace velt::ZRV480::Bus::ValueObjects
