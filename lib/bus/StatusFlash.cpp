#include "bus/StatusFlash.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// "reInstall" shares bit 8 with "wrongRevision", and "wrongBuild" and
// "wrongVersion" share bit 1 with "generalError": the flash bootloaders
// report them that way.
const std::vector<Status::Flag> StatusFlash::flash_flags = {
    {"updateOk", 0},        {"generalError", 1}, {"noCodeFound", 2},   {"invalidVtable", 3},
    {"invalidFwHeader", 4}, {"wrongCrc", 5},     {"wrongFirmware", 6}, {"wrongBoard", 7},
    {"wrongRevision", 8},   {"reInstall", 8},    {"downgrade", 9},     {"wrongBuild", 1},
    {"wrongVersion", 1},
};

const uint16_t StatusFlash::errorMaskFlash = 0x1FFE;

StatusFlash::StatusFlash(std::bitset<16> const& bits) : Status(flash_flags, errorMaskFlash, bits) {}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
