#pragma once

#include "FaultRule.h"

#include <optional>
#include <string>

namespace boardsim {

class Base64 {
public:
    static std::string encode(Bytes const& data);
    // Nothing for text that is not padded base64.
    static std::optional<Bytes> decode(std::string const& text);
};

} // namespace boardsim
