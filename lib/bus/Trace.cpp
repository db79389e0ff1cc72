#include "bus/Trace.h"

namespace velt::ZRV480::Bus {

char const* Trace::c_str() const {
    if (fixed != nullptr) {
        return fixed;
    }
    if (!made) {
        text = make();
        made = true;
    }
    return text.c_str();
}

} // namespace velt::ZRV480::Bus
