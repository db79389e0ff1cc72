#pragma once

#include <nlohmann/json.hpp>

// Hides secrets from the copies of documents that go to the log.
class Secrets {
public:
    // The document with the value of every member named "password", at any
    // depth, replaced by "***".
    static nlohmann::json masked(nlohmann::json const& document);
};
