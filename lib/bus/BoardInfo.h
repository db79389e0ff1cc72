#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velt::ZRV480::Bus::ValueObjects {

// A board's identity and firmware as the board reports it. Empty: empty
// names, versions 0 and an all-zero id.
struct BoardInfo {
    std::string boardName;
    uint16_t boardVersion{};           // board revision
    std::array<uint8_t, 16> boardId{}; // text form: Board::idToStr
    std::string firmwareName;
    uint16_t firmwareVersion{};
};

} // namespace velt::ZRV480::Bus::ValueObjects
