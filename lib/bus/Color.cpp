#include "bus/Color.h"

namespace velt::ZRV480::Bus::ValueObjects {

nlohmann::json Color::toJson() const {
    return {{"r", unsigned(r)}, {"g", unsigned(g)}, {"b", unsigned(b)}};
}

} // namespace velt::ZRV480::Bus::ValueObjects
