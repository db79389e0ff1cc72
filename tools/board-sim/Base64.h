#pragma once

#include "FaultRule.h"

#include <optional>
#include <string>

namespace boardsim {

class Base64 {
public:
    static std::string encode(const Bytes& data);
    // Nothing for text that is not padded base64.
    static std::optional<Bytes> decode(const std::string& text);
};

} // namespace boardsim
