#pragma once

#include "FaultRule.h"
#include "Scenario.h"

#include <cstdint>
#include <optional>
#include <string>

namespace boardsim {

// What a bootloader does at reboot with a committed image.
class FirmwareInstaller {
public:
    enum Status : uint16_t {
        UpdateOk = 0x0001,
        InvalidFwHeader = 0x0010,
        ReInstall = 0x0100,
        Downgrade = 0x0200,
    };

    struct Header {
        std::string firmware;
        uint8_t version = 0;
        std::string board;
        uint32_t revision = 0;
    };

    // The first whole window at 0x100, 0x3100 or 0x5100 with the magic and a known build.
    static std::optional<Header> findHeader(Bytes const& image);
    // Returns the new bootloader status; `info` takes the new version and name on install.
    static uint16_t install(Bytes const& image, uint8_t address, uint16_t flags, BoardInfo& info);
};

} // namespace boardsim
