#include "bus/StatusSd.h"

namespace velt::ZRV480::Bus::ValueObjects::Bootloader {

// "reInstall" shares bit 8 with "wrongRevision", and no name has bit 10.
const std::vector<Status::Flag> StatusSd::sd_flags = {
    {"updateOk", 0},        {"generalError", 1}, {"noCodeFound", 2},   {"invalidVtable", 3},
    {"invalidFwHeader", 4}, {"wrongCrc", 5},     {"wrongFirmware", 6}, {"wrongBoard", 7},
    {"wrongRevision", 8},   {"reInstall", 8},    {"downgrade", 9},     {"wrongBuild", 11},
    {"wrongVersion", 12},
};

const uint16_t StatusSd::errorMaskSd = 0x07FE;

StatusSd::StatusSd(std::bitset<16> const& bits) : Status(sd_flags, errorMaskSd, bits) {}

} // namespace velt::ZRV480::Bus::ValueObjects::Bootloader
