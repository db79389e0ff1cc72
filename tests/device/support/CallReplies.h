#pragma once

#include "bus/ErrorCode.h"

#include <nlohmann/json.hpp>

#include <string>

namespace devicetest {

// The replies of the service's calls, as a client reads them.
inline nlohmann::json failed(velt::ZRV480::Bus::Common::ErrorCode code, char const* what) {
    return {{"completed", false}, {"error", {{"code", static_cast<int>(code)}, {"what", what}}}};
}

// A refusal that names the member of the wrong shape.
inline nlohmann::json failed(char const* text) {
    return {{"completed", false}, {"error", text}};
}

inline nlohmann::json const Completed = {{"completed", true}};
inline nlohmann::json const NotJson =
    failed(velt::ZRV480::Bus::Common::ErrorCode::MalformedJson, "MalformedJson");
inline nlohmann::json const Malformed =
    failed(velt::ZRV480::Bus::Common::ErrorCode::MalformedRequest, "MalformedRequest");

// One row of a table of calls: the call, its payload and the exact reply.
struct CallCase {
    char const* name;
    char const* payload;
    nlohmann::json reply;
};

} // namespace devicetest
