#pragma once

#include "foundation/Log.h"

#include <string>

// Base of the classes that log under their own name: "[name] message".
class Logger {
public:
    explicit Logger(std::string name);
    virtual ~Logger();

    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    std::string name; // set once at construction, only read afterwards
};
