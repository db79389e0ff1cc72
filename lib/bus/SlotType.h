#pragma once

#include <string>

namespace velt::ZRV480::Bus {

// Value kind of a telemetry or configuration slot.
enum class SlotType : int {
    Int32 = 0,
    Bool = 1,
    Double = 2, // raw signed 32-bit value / multiplier
    Enum = 3,   // index into the slot's enumeration texts
    Color = 4,
};

// "Int32", "Bool", "Double", "Enum", "Color"; "Unknown" for any other value.
std::string slotTypeToStr(SlotType type);

} // namespace velt::ZRV480::Bus
