#include "bus/FlagsSd.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

const std::vector<Flags::Flag> FlagsSd::sd_flags = {
    {"ignoreFwHeader", 0}, {"ignoreFirmware", 1}, {"ignoreBoard", 2}, {"ignoreRevision", 3},
    {"allowReinstall", 4}, {"allowDowngrade", 5}, {"ignoreBuild", 6}, {"noBackup", 7},
};

FlagsSd::FlagsSd(std::bitset<16> const& bits) : Flags(sd_flags, bits) {}

FlagsSd::FlagsSd(Flags const& other) : Flags(other, sd_flags) {}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
