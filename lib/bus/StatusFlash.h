#pragma once

#include "bus/BootloaderStatus.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class StatusFlash : public Status {
public:
    static const std::vector<Flag> flash_flags;
    static const uint16_t errorMaskFlash;

    explicit StatusFlash(std::bitset<16> const& word);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
