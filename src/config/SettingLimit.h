#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace velt::ZRV480::BoardManager::Config {

// What one setting of the configuration file may hold, its default and what
// changing it does while the service runs.
struct SettingLimit {
    enum class Kind {
        Integer,   // a JSON integer from min to max
        Boolean,   // true or false
        Text,      // min to max bytes, without U+0000
        Address,   // an IPv4 address in dotted decimal
        BrokerUrl, // "host:port" of at most max bytes, maybe after "tcp://" or "mqtt://"
        Topic,     // min to max bytes; no level empty or holding '+' or '#'
    };

    std::string path; // "/"-separated below the document's root
    Kind kind;
    int64_t min;
    int64_t max;
    nlohmann::json defaultValue;
    std::string effect;
    // A refusal says only what kind and size of value it got, never the value.
    bool secret = false;

    // "integer", "boolean" or "text".
    std::string type() const;
    // The values it takes, as the refusals and the README say it:
    // "an integer from 1 to 256".
    std::string allowed() const;
    bool accepts(nlohmann::json const& value) const;
};

} // namespace velt::ZRV480::BoardManager::Config
