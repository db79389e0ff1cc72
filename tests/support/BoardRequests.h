#pragma once

#include "BoardSim.h"

#include <cstdint>
#include <optional>

namespace testsupport {

// The simulator's filters for the board requests that tests wait for, count
// or answer otherwise.

// A board's firmware upload, or one segment of it (0: the header).
boardsim::Filter upload(uint8_t address, std::optional<uint16_t> segment = std::nullopt);
// A request that tells the board to reboot.
boardsim::Filter reboot(uint8_t address);
// A file request to the main board: any, or those of one sub-command, or one
// segment of a file write or read.
boardsim::Filter mainFile(std::optional<uint8_t> sub = std::nullopt,
                          std::optional<uint16_t> segment = std::nullopt);

} // namespace testsupport
