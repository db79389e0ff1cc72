#pragma once

#include "BoardSim.h"

#include <nlohmann/json.hpp>

namespace boardsim {

// The out-of-process control protocol: one JSON request object in, one reply
// object out, {"ok":true,...} or {"ok":false,"error":"text"}.
class ControlCommands {
public:
    explicit ControlCommands(BoardSim& sim) : sim_(sim) {}

    nlohmann::json handle(const nlohmann::json& request);
    nlohmann::json handleLine(const std::string& line);

    // Also used to read rules given as JSON elsewhere.
    static Filter filterFromJson(const nlohmann::json& value);
    static Rule ruleFromJson(const nlohmann::json& value);

private:
    nlohmann::json dispatch(const std::string& op, const nlohmann::json& request);

    BoardSim& sim_;
};

} // namespace boardsim
