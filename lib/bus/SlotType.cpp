#include "bus/SlotType.h"

namespace velt::ZRV480::Bus {

std::string slotTypeToStr(SlotType type) {
    switch (type) {
    case SlotType::Int32:
        return "Int32";
    case SlotType::Bool:
        return "Bool";
    case SlotType::Double:
        return "Double";
    case SlotType::Enum:
        return "Enum";
    case SlotType::Color:
        return "Color";
    }
    return "Unknown";
}

} // namespace velt::ZRV480::Bus
