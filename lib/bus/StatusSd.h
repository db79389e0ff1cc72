#pragma once

#include "bus/BootloaderStatus.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class StatusSd : public Status {
public:
    static const std::vector<Flag> sd_flags;
    static const uint16_t errorMaskSd;

    explicit StatusSd(const std::bitset<16>& word);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
