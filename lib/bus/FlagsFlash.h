#pragma once

#include "bus/Flags.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class FlagsFlash : public Flags {
public:
    static const std::vector<Flag> flash_flags;

    explicit FlagsFlash(const std::bitset<16>& word);
    // Keeps other's value, named by this table.
    explicit FlagsFlash(const Flags& other);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
