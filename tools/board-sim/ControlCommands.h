#pragma once

#include "BoardSim.h"

#include <nlohmann/json.hpp>

namespace boardsim {

// The out-of-process control protocol: one JSON request object in, one reply
// object out, {"ok":true,...} or {"ok":false,"error":"text"}.
class ControlCommands {
public:
    explicit ControlCommands(BoardSim& simulator) : sim(simulator) {}

    nlohmann::json handle(nlohmann::json const& request);
    nlohmann::json handleLine(std::string const& line);

    // Also used to read rules given as JSON elsewhere.
    static Filter filterFromJson(nlohmann::json const& value);
    static Rule ruleFromJson(nlohmann::json const& value);

private:
    nlohmann::json dispatch(std::string const& op, nlohmann::json const& request);

    BoardSim& sim;
};

} // namespace boardsim
