#pragma once

#include "FaultRule.h"

#include <array>
#include <cstdint>
#include <string>

namespace boardsim {

class Md5 {
public:
    static std::array<uint8_t, 16> digest(Bytes const& data);
    static std::string hex(Bytes const& data);
};

} // namespace boardsim
