#pragma once

#include "FaultRule.h"

#include <cstdint>
#include <optional>

namespace boardsim {

// What a board answers to one request: a payload, or a bus error byte.
struct Answer {
    Bytes payload;
    std::optional<uint8_t> error;
    bool echo = false;   // the payload is a setter's echo (echo overrides apply)
    bool result = false; // the payload starts with an i16 transfer result
    bool silent = false; // no reply at all

    static Answer of(Bytes payload) {
        Answer a;
        a.payload = std::move(payload);
        return a;
    }
    static Answer fail(uint8_t error) {
        Answer a;
        a.error = error;
        return a;
    }
    static Answer none() {
        Answer a;
        a.silent = true;
        return a;
    }
    static Answer echoing(Bytes payload) {
        Answer a;
        a.payload = std::move(payload);
        a.echo = true;
        return a;
    }
    static Answer resulting(int16_t result, Bytes const& rest = {}) {
        Answer a;
        a.payload.reserve(2 + rest.size());
        a.payload.push_back(uint8_t(result));
        a.payload.push_back(uint8_t(uint16_t(result) >> 8));
        a.payload.insert(a.payload.end(), rest.begin(), rest.end());
        a.result = true;
        return a;
    }
};

} // namespace boardsim
