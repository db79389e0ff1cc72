#pragma once

#include "bus/BootloaderStatus.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class StatusFlash : public Status {
public:
    static const std::vector<Flag> flash_flags;
    static const uint16_t errorMaskFlash;

    explicit StatusFlash(const std::bitset<16>& word);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
