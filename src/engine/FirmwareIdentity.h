#pragma once

#include "bus/BoardInfo.h"

#include <string>

// How the firmware rules name a board: the form of FirmwareHeader::getBoard.
namespace velt::ZRV480::BoardManager::Manager::FirmwareIdentity {

// The board's reported name, "-R" and its revision: "psu-R2".
inline std::string nameWithRevision(Bus::ValueObjects::BoardInfo const& info) {
    return info.boardName + "-R" + std::to_string(info.boardVersion);
}

// The service console is not on the bus: its firmware goes to the main board
// as a file, and its report sits under the schema's service address.
inline constexpr char const* ServiceFirmwareName = "ZRV480_Service";
inline constexpr char const* ServiceNameWithRevision = "ZRV480_Service-R2";
// The name of its image on the main board.
inline constexpr char const* ServiceImageFile = "console.bin";

} // namespace velt::ZRV480::BoardManager::Manager::FirmwareIdentity
