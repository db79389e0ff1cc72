#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Hides secrets from the copies of documents that go to the log.
class Secrets {
public:
    // The document with the value of every member named "password", at any
    // depth, replaced by "***".
    static nlohmann::json masked(nlohmann::json const& document);
    // A message's text for the log: as it is unless it names a password;
    // then the masked document, or "***" when it does not parse.
    static std::string maskedText(std::string const& text);
    // The same for a message's payload: "***" whole when a level of its
    // topic is "password" (a value written there is the password itself).
    static std::string maskedPayload(std::string const& topic, std::string const& payload);
    // What a refusal may say of a value it must not show: its kind ("a
    // number", "null", "an array"), a text only by its size ("70000 bytes").
    static std::string described(nlohmann::json const& value);
};
