#pragma once

#include "bus/Flags.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

class FlagsSd : public Flags {
public:
    static const std::vector<Flag> sd_flags;

    explicit FlagsSd(std::bitset<16> const& word);
    // Keeps other's value, named by this table.
    explicit FlagsSd(Flags const& other);
};

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
