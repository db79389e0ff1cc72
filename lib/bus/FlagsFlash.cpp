#include "bus/FlagsFlash.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// The flash bootloaders' own spelling "ingoreBuild" is what clients use.
const std::vector<Flags::Flag> FlagsFlash::flash_flags = {
    {"ignoreVtable", 0},   {"ignoreFwHeader", 1}, {"ignoreCrc", 2},
    {"ignoreFirmware", 3}, {"ignoreBoard", 4},    {"ignoreRevision", 5},
    {"allowReinstall", 6}, {"allowDowngrade", 7}, {"ingoreBuild", 8},
};

FlagsFlash::FlagsFlash(std::bitset<16> const& bits) : Flags(flash_flags, bits) {}

FlagsFlash::FlagsFlash(Flags const& other) : Flags(other, flash_flags) {}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
