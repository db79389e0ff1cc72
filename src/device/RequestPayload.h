#pragma once

#include "bus/ErrorCode.h"

#include <nlohmann/json.hpp>

#include <string>
#include <variant>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager::RequestPayload {

// The payload of a call as a JSON object, or the code that refuses it:
// MalformedJson when it does not parse, MalformedRequest when it is not an object.
std::variant<nlohmann::json, Bus::Common::ErrorCode> object(std::string const& payload);

// The text members named by `keys`, in that order. MalformedJson or
// MalformedRequest as `object` gives them; MalformedRequest for the first key
// that is missing or not a JSON string. Other members are ignored.
std::variant<std::vector<std::string>, Bus::Common::ErrorCode>
strings(std::string const& payload, std::vector<char const*> const& keys);

// True for a number written without sign, fraction or exponent no greater than
// `max`.
bool isUnsigned(nlohmann::json const& value, uint64_t max);

} // namespace velt::ZRV480::BoardManager::Manager::RequestPayload
