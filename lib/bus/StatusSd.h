#pragma once

#include "bus/BootloaderStatus.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class StatusSd : public Status {
public:
    static const std::vector<Flag> sd_flags;
    static const uint16_t errorMaskSd;

    explicit StatusSd(std::bitset<16> const& word);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
